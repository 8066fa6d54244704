#include "tables/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tables/text.hpp"

namespace korvane {

std::string join_path(std::string_view dir, std::string_view name) {
    std::string out(dir);
    if (!out.empty() && out.back() != '/') out += '/';
    out.append(name);
    return out;
}

std::optional<std::string> parent_path(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path.empty() || path == "/") return std::nullopt;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    std::string_view parent = path.substr(0, slash);
    while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
    if (parent.empty()) return std::string("/");
    return std::string(parent);
}

std::string_view file_stem(std::string_view name) noexcept {
    if (name == "..") return name;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return name;
    return name.substr(0, dot);
}

std::string_view file_name(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool path_exists(const std::string& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int open_for_reading(const std::string& path, int& error) noexcept {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it has
    // no effect on regular files and directories.
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        error = 0;
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string open_error_text(int error) {
    return error == 0 ? std::string("not a regular file") : os_error_text(error);
}

Result<std::string> read_file(const std::string& path) {
    int err = 0;
    const int fd = open_for_reading(path, err);
    if (fd < 0) return BufrError::io_message(open_error_text(err));
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            ::close(fd);
            return BufrError::io_errno(err);
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

Result<std::string> read_text_file(const std::string& path) {
    KORVANE_TRY(std::string text, read_file(path));
    if (!is_valid_utf8(text)) return BufrError::io_message("stream did not contain valid UTF-8");
    return text;
}

Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return BufrError::io_errno(errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d);
        if (e == nullptr) {
            if (errno != 0) {
                const int err = errno;
                ::closedir(d);
                return BufrError::io_errno(err);
            }
            break;
        }
        const std::string_view name(e->d_name);
        if (name == "." || name == "..") continue;
        const bool plain = is_valid_utf8(name);
        const std::string lossy = plain ? std::string() : utf8_lossy(name);
        const std::string_view shown = plain ? name : std::string_view(lossy);
        if (shown.starts_with(prefix) && shown.ends_with(suffix))
            names.emplace_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const std::string& n : names) paths.push_back(join_path(dir, n));
    return paths;
}

}  // namespace korvane
