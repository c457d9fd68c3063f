// The general file-writing layer: directory locks, scratch directories, file digests and the
// permissions of replaced files.
#include "directory_lock.h"
#include "file_digest.h"
#include "staged_file.h"

#include "test_support.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <optional>

using murel::directory_lock;
using test_support::scratch_dir;

namespace {

// Makes `path` look last changed `hours` ago.
void age(const std::string& path, int hours) {
    const timespec then{::time(nullptr) - hours * 3600, 0};
    const timespec times[2] = {then, then};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

mode_t mode_of(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

}  // namespace

TEST(directory_lock, one_writer_or_many_readers_and_a_refusal_says_which_holds_it) {
    using access = directory_lock::access;
    const struct {
        access held, wanted;
        const char* refusal;  // nullptr: granted
    } cases[] = {
        {access::read, access::read, nullptr},
        {access::read, access::write, " is being read by another murel run"},
        {access::write, access::read, " is being written by another murel run"},
        {access::write, access::write, " is being written by another murel run"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        const directory_lock first(dir.path().string(), c.held);
        if (c.refusal == nullptr) {
            EXPECT_NO_THROW(directory_lock(dir.path().string(), c.wanted));
            continue;
        }
        try {
            directory_lock second(dir.path().string(), c.wanted);
            ADD_FAILURE() << "granted despite " << c.refusal;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), dir.path().string() + c.refusal);
        }
    }
    // Released with its holder, including one moved elsewhere.
    scratch_dir dir;
    {
        directory_lock moved = directory_lock(dir.path().string(), access::write);
        std::optional<directory_lock> holder;
        holder.emplace(std::move(moved));
    }
    EXPECT_NO_THROW(directory_lock(dir.path().string(), access::write));
    try {
        directory_lock missing(dir.file("missing"), access::write);
        ADD_FAILURE() << "locked a missing directory";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
        EXPECT_NE(std::string(e.what()).find(dir.file("missing")), std::string::npos) << e.what();
    }
}

TEST(scratch_directory, a_new_one_clears_those_left_an_hour_ago_and_a_lock_holder_clears_all) {
    scratch_dir dir;
    const auto make_dir = [&](const std::string& name, int hours) {
        std::filesystem::create_directory(dir.file(name));
        std::ofstream(dir.file(name + "/.map1.ppm.AbCdEf")) << "left by a killed run";
        age(dir.file(name), hours);
    };
    make_dir(".murel-Old123", 2);
    make_dir(".murel-New123", 0);
    make_dir(".murel-toolong", 2);  // not a scratch name
    make_dir("murel-Old456", 2);
    std::ofstream(dir.file(".murel-File12")) << "a file, not a scratch directory";
    age(dir.file(".murel-File12"), 2);
    std::vector<std::string> during;
    {
        const murel::scratch_directory scratch(dir.path().string());
        during = test_support::listing(dir.path());
        EXPECT_EQ(std::filesystem::path(scratch.path()).parent_path(), dir.path());
        std::ofstream(scratch.path() + "/map1.ppm") << "P3";
    }
    EXPECT_EQ(during.size(), 5U);  // one old scratch directory gone, the new one there
    EXPECT_EQ(std::count(during.begin(), during.end(), ".murel-Old123"), 0);
    EXPECT_EQ(test_support::listing(dir.path()),
              (std::vector<std::string>{".murel-File12", ".murel-New123", ".murel-toolong", "murel-Old456"}));
    murel::remove_stale_scratch(dir.path().string(), std::chrono::seconds(0));
    EXPECT_EQ(test_support::listing(dir.path()), (std::vector<std::string>{".murel-File12", ".murel-toolong", "murel-Old456"}));
}

TEST(file_digest, hashes_whole_files_and_reads_its_text_back) {
    scratch_dir dir;
    std::ofstream(dir.file("empty"));
    // XXH3-64 of no bytes, as published with the algorithm.
    EXPECT_EQ(murel::digest_of(dir.file("empty")), (murel::file_digest{0, 0x2D06800538D394C2ULL}));
    std::string big(3 << 20, 'x');
    big[2 << 20] = 'y';
    std::ofstream(dir.file("big"), std::ios::binary) << big;
    const murel::file_digest digest = murel::digest_of(dir.file("big"));
    EXPECT_EQ(digest.bytes, big.size());
    const std::atomic<bool> cancelled{true};
    EXPECT_LT(murel::digest_of(dir.file("big"), &cancelled).bytes, big.size());  // stops early once cancelled
    big[2 << 20] = 'x';
    std::ofstream(dir.file("other"), std::ios::binary) << big;
    EXPECT_NE(murel::digest_of(dir.file("other")), digest);  // one byte in the second megabyte
    EXPECT_EQ(murel::file_digest::parse(digest.text()), digest);
    EXPECT_EQ(murel::file_digest{12}.text(), "12 0000000000000000");
    for (const char* bad : {"", "12", " 0123456789abcdef", "12 0123456789ABCDEF", "12 0123456789abcde", "-1 0123456789abcdef",
                            "18446744073709551616 0123456789abcdef", "12 0123456789abcdefa", "12  0123456789abcdef"})
        EXPECT_FALSE(murel::file_digest::parse(bad)) << bad;
    // Read whole, a file gives the digest of the bytes kept; a buffer that held more is cut to it.
    for (const char* name : {"empty", "big", "other"}) {
        std::string content = "left from before";
        EXPECT_EQ(murel::read_whole(dir.file(name), content), murel::digest_of(dir.file(name))) << name;
        EXPECT_TRUE(content == test_support::read_file(dir.file(name))) << name;
    }
    using hasher = murel::file_digest (*)(const std::string&);
    for (const hasher hash : {hasher{[](const std::string& path) { return murel::digest_of(path); }},
                              hasher{[](const std::string& path) {
                                  std::string content;
                                  return murel::read_whole(path, content);
                              }}}) {
        try {
            hash(dir.file("missing"));
            ADD_FAILURE() << "hashed a missing file";
        } catch (const std::system_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("cannot read " + dir.file("missing"), 0), 0U) << e.what();
        }
    }
    std::string endless;
    EXPECT_THROW(
        try { murel::read_whole("/dev/zero", endless); } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "/dev/zero is not a regular file");
            throw;
        },
        std::invalid_argument);
}

TEST(file_digest, a_member_that_differs_from_its_manifest_is_named_with_it) {
    scratch_dir dir;
    std::ofstream(dir.file("table.txt")) << "1 2 3\n";
    const murel::file_digest listed = murel::digest_of(dir.file("table.txt"));
    EXPECT_NO_THROW(murel::check_member(dir.file("table.txt"), listed, "summary.json"));
    std::string kept;
    const nlohmann::json list = {{"table.txt", {{"bytes", 6u}, {"xxh3", listed.hash_text()}}}};
    murel::check_listed(dir.path().string(), list, "summary.json", {{"table.txt", &kept}});
    EXPECT_EQ(kept, "1 2 3\n");
    const struct {
        const char* content;  // nullptr: the file is gone
        std::string found;
    } cases[] = {
        {"1 2 3 4\n", "8 bytes, not 6"},
        {"1 2 4\n", "other content"},
        {nullptr, "No such file or directory"},
    };
    for (const auto& c : cases) {
        if (c.content) std::ofstream(dir.file("table.txt")) << c.content;
        else std::filesystem::remove(dir.file("table.txt"));
        // Hashed as it streams by, or kept: the same refusal.
        for (std::string* content : {static_cast<std::string*>(nullptr), &kept}) {
            try {
                murel::check_member(dir.file("table.txt"), listed, "summary.json", content);
                ADD_FAILURE() << c.found;
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(e.what(), dir.file("table.txt") + " does not belong with summary.json (" + c.found +
                                        "): the set is mixed or incomplete; write it again");
            }
        }
    }
    // A pipe or a device in a member's place is refused before it is opened, which could wait for ever.
    ASSERT_EQ(::mkfifo(dir.file("table.txt").c_str(), 0600), 0);
    for (const std::string& path : {dir.file("table.txt"), std::string("/dev/zero")})
        for (std::string* content : {static_cast<std::string*>(nullptr), &kept})
            try {
                murel::check_member(path, listed, "summary.json", content);
                ADD_FAILURE() << path;
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(e.what(), path + " does not belong with summary.json (not a regular file): the set is mixed or incomplete; write it again");
            }
    EXPECT_THROW(murel::read_whole(dir.file("table.txt"), kept), std::invalid_argument);
    for (const char* name : {"", ".hidden", "sub/table.txt", "../table.txt"})
        EXPECT_THROW(murel::check_listed_member(dir.path().string(), name, 6, listed.hash_text(), "summary.json"),
                     std::invalid_argument)
            << name;
    EXPECT_THROW(murel::check_listed_member(dir.path().string(), "table.txt", 6, "xyz", "summary.json"), std::invalid_argument);
}

TEST(staged_file, a_replaced_file_keeps_its_permission_bits) {
    scratch_dir dir;
    const mode_t mask = ::umask(022);
    for (const mode_t mode : {0600, 0640, 0755, 0444}) {
        const std::string path = dir.file("out.txt");
        std::ofstream(path) << "old";
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        murel::staged_file file(dir.path().string(), "out.txt");
        file.write_at("new", 3, 0);
        file.commit();
        EXPECT_EQ(mode_of(path), mode) << std::oct << mode;
        EXPECT_EQ(test_support::read_file(path), "new");
        std::filesystem::remove(path);
    }
    murel::staged_file fresh(dir.path().string(), "fresh.txt");
    fresh.commit();
    EXPECT_EQ(mode_of(dir.file("fresh.txt")), 0644U);
    ::umask(mask);
}

TEST(output_directory, is_created_claimed_and_cleared_and_a_failure_takes_back_only_what_it_created) {
    scratch_dir dir;
    const std::string fresh = dir.file("a/b");
    EXPECT_THROW(
        {
            const murel::output_directory claimed(fresh);
            EXPECT_TRUE(std::filesystem::is_directory(fresh));
            EXPECT_THROW(directory_lock(fresh, directory_lock::access::read), std::runtime_error);
            throw std::runtime_error("the run failed");
        },
        std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(fresh));
    std::filesystem::create_directories(dir.file("kept/.murel-Left12"));
    EXPECT_THROW(
        {
            const murel::output_directory claimed(dir.file("kept"));
            throw std::runtime_error("the run failed");
        },
        std::runtime_error);
    EXPECT_EQ(test_support::listing(dir.file("kept")), std::vector<std::string>{});
    { const murel::output_directory claimed(fresh); }
    EXPECT_TRUE(std::filesystem::is_directory(fresh));
    EXPECT_NO_THROW(directory_lock(fresh, directory_lock::access::write));
}
