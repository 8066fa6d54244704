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

BufrError BufrError::at_file(std::string path, std::uint64_t line) && {
    if (kind_ == ErrorKind::Table) {
        kind_ = ErrorKind::TableFile;
        a_ = line;
    }
    if ((kind_ == ErrorKind::TableFile || kind_ == ErrorKind::Io) && path_.empty()) path_ = std::move(path);
    return std::move(*this);
}

BufrError BufrError::in_tables(std::string directories) && {
    if ((kind_ == ErrorKind::ElementNotFound || kind_ == ErrorKind::SequenceNotFound) && path_.empty())
        path_ = std::move(directories);
    return std::move(*this);
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
    case ErrorKind::Io:
        return "io error: " + text_;
    case ErrorKind::MessageCut:
        return "section 0 at offset " + to_string(at_) + " is truncated";
    case ErrorKind::LengthsDisagree:
        return "declared length " + to_string(a_) + " does not match the sections' length " + to_string(b_);
    case ErrorKind::DataEnded:
        return "csv/table parse error: not enough bits while reading section 4 at bit " + to_string(a_) +
               " for width " + to_string(width_) + " (" + to_string(b_) + " bits available)";
    case ErrorKind::Table:
    case ErrorKind::Unsupported:
    case ErrorKind::LimitExceeded:
    case ErrorKind::TableFile:
    case ErrorKind::Interrupted:
    case ErrorKind::FieldTooWide:
        return "csv/table parse error: " + text_;
    }
    return "unknown error";
}

namespace {

// "1 descriptor", "2 descriptors".
std::string descriptors_text(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " descriptor" : " descriptors");
}

}  // namespace

std::string BufrError::describe() const {
    using std::to_string;
    const auto code = [](std::uint64_t c) { return padded_code(static_cast<std::uint32_t>(c)); };
    switch (kind_) {
    case ErrorKind::TooShort:
        if (known_) return "the message declares " + to_string(a_) + " bytes, fewer than the 8 of section 0";
        return "message is too short to be BUFR (fewer than 8 bytes)";
    case ErrorKind::MissingMarker:
        return "no BUFR message";
    case ErrorKind::UnsupportedEdition:
        return "unsupported BUFR edition " + to_string(a_) + " (editions 2, 3 and 4 are read)";
    case ErrorKind::LengthMismatch:
        return "the message declares " + to_string(a_) + " bytes but " + to_string(b_) + " were given";
    case ErrorKind::SectionTruncated:
        if (known_)
            return "section " + to_string(a_) + " (at byte " + to_string(b_) + " of the message) declares " +
                   to_string(at_) + " bytes, fewer than the " + to_string(width_) + " it must hold";
        return "section " + to_string(a_) + " (at byte " + to_string(b_) +
               " of the message) runs past the message's declared length";
    case ErrorKind::BadTerminator:
        return "the message does not end with 7777";
    case ErrorKind::OddDescriptorArea:
        return "section 3 holds an odd number of descriptor bytes";
    case ErrorKind::SequenceNotFound:
    case ErrorKind::ElementNotFound: {
        std::string s = "descriptor " + code(a_) + " is not in Table " +
                        (kind_ == ErrorKind::ElementNotFound ? "B" : "D");
        if (!path_.empty()) s += " of the tables in " + path_;
        return s;
    }
    case ErrorKind::IncompleteDelayedReplication:
    case ErrorKind::UnsupportedReplication: {
        // 1 XX YYY takes the XX descriptors after it, and with YYY = 0 the
        // descriptor of its factor before them.
        const std::uint64_t x = (a_ / 1000) % 100;
        const bool delayed = a_ % 1000 == 0;
        std::string s = (delayed ? "delayed replication descriptor " : "replication descriptor ") + code(a_);
        if (x == 0) return s + " replicates no descriptors";
        if (!known_)
            return s + (kind_ == ErrorKind::UnsupportedReplication
                            ? " replicates more descriptors than follow it"
                            : " is missing its replication factor or replicated descriptors");
        s += delayed ? " takes its factor and " + descriptors_text(x) : " replicates " + descriptors_text(x);
        return s + ", but " + (b_ == 0 ? std::string("none") : "only " + to_string(b_)) +
               (b_ == 1 ? " follows" : " follow") + " it in its list";
    }
    case ErrorKind::Table:
    case ErrorKind::Unsupported:
    case ErrorKind::LimitExceeded:
    case ErrorKind::Interrupted:
        return text_;
    case ErrorKind::FieldTooWide: {
        std::string s = code_ != 0 ? "descriptor " + code(code_) + " is " : "a field is ";
        return s + to_string(width_) + " bits wide at bit " + to_string(a_) +
               ", but a number is read in at most 64 bits";
    }
    case ErrorKind::Io:
    case ErrorKind::TableFile: {
        // A text that names the file already (a missing directory) keeps its words.
        std::string s = text_.find(path_) == std::string::npos ? path_ : std::string();
        if (kind_ == ErrorKind::TableFile && a_ != 0) s += (s.empty() ? "line " : ", line ") + to_string(a_);
        return s.empty() ? text_ : s + ": " + text_;
    }
    case ErrorKind::MessageCut:
        // Fewer than 8 bytes left, or a declared length no longer than what
        // is left: the input ends inside section 0, before the length is whole.
        if (b_ < 7 || a_ <= b_)
            return "message cut short: the input ends " + to_string(b_) +
                   " bytes after its start, inside section 0 (8 bytes)";
        return "message cut short: it declares " + to_string(a_) + " bytes, but the input ends " +
               to_string(b_) + " bytes after its start";
    case ErrorKind::LengthsDisagree:
        return "the message declares " + to_string(a_) + " bytes, but its sections and 7777 end after " +
               to_string(b_) + " bytes";
    case ErrorKind::DataEnded: {
        std::string s = "the data section ends at bit " + to_string(b_);
        s += code_ != 0 ? " while reading descriptor " + code(code_) + ": " : ": ";
        return s + to_string(width_) + " bits needed at bit " + to_string(a_) + ", " +
               to_string(a_ <= b_ ? b_ - a_ : 0) + " left";
    }
    }
    return "unknown error";
}

}  // namespace korvane
