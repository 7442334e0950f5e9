// The one way the CAN library speaks to the operator: a line on stderr, "vci: DEVICE: TEXT" (or
// "vci: TEXT" for what concerns no device). The tool's console (stdout) is never touched, so a
// notice tells why a load failed without changing what the tool prints.
#pragma once

#include <string>

// printf's checks on the format; MinGW's C++ runtime formats as C99 does (%zu, %lld).
#if defined(__MINGW32__)
#define VCI_NOTICE_FORMAT [[gnu::format(gnu_printf, 2, 3)]]
#else
#define VCI_NOTICE_FORMAT [[gnu::format(printf, 2, 3)]]
#endif

namespace vci {

// Says one notice, written whole in one call so that lines from two threads do not mix.
// `device` may be nullptr or empty.
VCI_NOTICE_FORMAT void Notice(const char* device, const char* format, ...);

// A notice for a state that repeats (a send that keeps failing, a port that stays refused):
// said when its text differs from the last one said through this object, not again while the
// state lasts.
class NoticeOnChange {
  public:
    // Says `text` unless it was the last text said; true when it was said.
    bool Say(const char* device, const std::string& text);
    // The state is over: the next text is said even when it is the same as the last.
    void Reset() { last_.clear(); }

  private:
    std::string last_;
};

}  // namespace vci
