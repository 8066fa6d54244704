#include "error/error.hpp"

#include <cstdio>
#include <cstring>

namespace korvane {

namespace {

// strerror_r has two forms: the POSIX one (musl, the BSDs, macOS, glibc without
// _GNU_SOURCE) returns 0 or an error number and fills buf, which for an unknown
// number may still hold a text such as "Unknown error 99999"; the GNU one
// returns the text, which may be a static string rather than buf. Overloads on
// the result take whichever form the C library declares.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) {
    return rc == 0 || buf[0] != '\0' ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

}  // namespace

std::string os_error_text(int err) {
    char buf[256];
    buf[0] = '\0';
    const char* msg = strerror_text(strerror_r(err, buf, sizeof buf), buf);
    std::string out = msg ? msg : "Unknown error";
    out += " (os error ";
    out += std::to_string(err);
    out += ')';
    return out;
}

BufrError BufrError::io_errno(int err) {
    return io_message(os_error_text(err));
}

std::string padded_code(std::uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(code));
    return buf;
}

std::string BufrError::display() const {
    using std::to_string;
    switch (kind_) {
    case ErrorKind::TooShort:
        return "message is too short to be BUFR";
    case ErrorKind::MissingMarker:
        return "missing BUFR marker";
    case ErrorKind::UnsupportedEdition:
        return "unsupported BUFR edition " + to_string(a_) + "; only edition 4 is implemented";
    case ErrorKind::LengthMismatch:
        return "declared length " + to_string(a_) + " does not match buffer length " + to_string(b_);
    case ErrorKind::SectionTruncated:
        return "section " + to_string(a_) + " at offset " + to_string(b_) + " is truncated";
    case ErrorKind::BadTerminator:
        return "section 5 terminator is not 7777";
    case ErrorKind::OddDescriptorArea:
        return "section 3 descriptor area has odd byte count";
    case ErrorKind::SequenceNotFound:
        return "descriptor " + padded_code(static_cast<std::uint32_t>(a_)) + " was not found in Table D";
    case ErrorKind::IncompleteDelayedReplication:
        return "delayed replication descriptor " + padded_code(static_cast<std::uint32_t>(a_)) +
               " is missing its replication factor or replicated descriptors";
    case ErrorKind::UnsupportedReplication:
        return "unsupported replication descriptor " + padded_code(static_cast<std::uint32_t>(a_));
    case ErrorKind::ElementNotFound:
        return "descriptor " + padded_code(static_cast<std::uint32_t>(a_)) + " was not found in Table B";
    case ErrorKind::Table:
        return "csv/table parse error: " + text_;
    case ErrorKind::Io:
        return "io error: " + text_;
    }
    return "unknown error";
}

}  // namespace korvane
