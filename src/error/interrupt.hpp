// A way for the caller of a long operation (a decode, the scan of a large
// file) to stop it: poll(data) is asked now and then and returns true to stop.
#pragma once

namespace korvane {

struct Interrupt {
    bool (*poll)(void*) = nullptr;
    void* data = nullptr;

    bool requested() const { return poll != nullptr && poll(data); }
};

}  // namespace korvane
