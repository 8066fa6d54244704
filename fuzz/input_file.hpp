// The table loaders read files, not buffers: these helpers hand a fuzz input
// to them as a file in a private temporary directory (on /dev/shm when there
// is one, so that each write stays in memory). The directory is made once per
// process and removed, with what it holds, at exit.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzz {

inline std::string& scratch_path() {
    static std::string dir;
    return dir;
}

inline void remove_scratch() {
    const std::string& dir = scratch_path();
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") ::unlink((dir + "/" + name).c_str());
        }
        ::closedir(d);
    }
    ::rmdir(dir.c_str());
}

inline const std::string& scratch_dir() {
    std::string& dir = scratch_path();
    if (dir.empty()) {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : ::getenv("TMPDIR");
        if (base == nullptr || *base == '\0') base = "/tmp";
        std::string templ = std::string(base) + "/korvane-fuzz-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        dir = templ;
        std::atexit(remove_scratch);
    }
    return dir;
}

// Writes `data` to the file `name` of the scratch directory; returns its path.
inline std::string write_input(const char* name, const std::uint8_t* data, std::size_t size) {
    const std::string path = scratch_dir() + "/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        std::abort();
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            std::perror("write");
            std::abort();
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

}  // namespace fuzz
