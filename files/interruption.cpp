#include "interruption.h"

#include <csignal>
#include <iterator>

namespace murel {
namespace {

volatile std::sig_atomic_t caught_signal = 0;
extern "C" void note_signal(int signal) { caught_signal = signal; }
constexpr int guarded_signals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

interruption::interruption(int caught) : std::runtime_error("interrupted"), signal(caught) {}

interruption_guard::interruption_guard() {
    static_assert(std::size(guarded_signals) == guarded);
    caught_signal = 0;
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < guarded; ++i) {
        struct sigaction& before = previous_[i];
        installed_[i] = ::sigaction(guarded_signals[i], nullptr, &before) == 0 &&
                                  before.sa_handler == SIG_DFL && !(before.sa_flags & SA_SIGINFO) &&
                                  ::sigaction(guarded_signals[i], &action, nullptr) == 0;
    }
}

interruption_guard::~interruption_guard() {
    for (int i = 0; i < guarded; ++i)
        if (installed_[i]) ::sigaction(guarded_signals[i], &previous_[i], nullptr);
}

int interruption_guard::caught() { return caught_signal; }

void interruption_guard::check() {
    if (caught_signal != 0) throw interruption(caught_signal);
}

}  // namespace murel
