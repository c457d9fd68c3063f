#include "output.h"

#include "binary_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>

#include <cstring>

namespace murel::formats::detail {

namespace {

constexpr std::size_t buffer_bytes = std::size_t{1} << 20;

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

staged_output::staged_output(const std::string& path) : file_(directory_of(path), name_of(path)) {
    buffer_.reserve(buffer_bytes);
}

void staged_output::append(const void* bytes, std::size_t size) {
    if (buffer_.size() + size > buffer_bytes) flush();
    if (size >= buffer_bytes) {
        file_.write_at(bytes, size, written_);
        written_ += size;
        return;
    }
    const auto* first = static_cast<const unsigned char*>(bytes);
    buffer_.insert(buffer_.end(), first, first + size);
}

void staged_output::flush() {
    if (buffer_.empty()) return;
    file_.write_at(buffer_.data(), buffer_.size(), written_);
    written_ += buffer_.size();
    buffer_.clear();
}

void staged_output::commit() {
    flush();
    file_.commit();
}

wave_files::wave_files(const std::string& dir, const std::vector<channel_info>& channels, const std::string& extension)
    : dir_(dir) {
    std::set<unsigned> distinct;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        numbers_.push_back(channel_number(channels[i].name, static_cast<unsigned>(i)));
        distinct.insert(numbers_.back());
    }
    if (distinct.size() != numbers_.size())
        for (std::size_t i = 0; i < numbers_.size(); ++i) numbers_[i] = static_cast<unsigned>(i);
    if (::mkdir(dir.c_str(), 0777) == 0) {
        created_ = true;
    } else {
        struct stat status;
        if (errno != EEXIST) throw std::system_error(errno, std::generic_category(), "cannot create " + dir);
        if (::stat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            throw std::system_error(ENOTDIR, std::generic_category(), "cannot write into " + dir);
    }
    try {
        for (unsigned number : numbers_)
            files_.push_back(std::make_unique<staged_output>(dir + "/wave" + std::to_string(number) + "." + extension));
    } catch (...) {
        files_.clear();
        if (created_) ::rmdir(dir_.c_str());
        throw;
    }
}

wave_files::~wave_files() {
    if (committed_ || !created_) return;
    files_.clear();
    ::rmdir(dir_.c_str());
}

void wave_files::commit() {
    for (auto& file : files_) file->commit();
    committed_ = true;
}

}  // namespace murel::formats::detail
