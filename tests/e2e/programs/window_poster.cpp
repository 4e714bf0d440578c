// Test program: finds the hidden "SignalWindow" of another process and
// posts to it.
//
//   window_poster find      exit 0 when the window exists, 1 when not
//   window_poster close     post WM_CLOSE
//   window_poster destroy   post the private destroy message (WM_USER + 100)
//   window_poster endsession  post WM_ENDSESSION (the session ends: log-off)
//
// Exit status 1: no such window; 2: the post failed; 4: bad arguments.
#include "arg_is.h"
#include "platform/platform.h"

namespace {

template <typename Char>
int poster(int argc, Char** argv) {
  if (argc != 2) return 4;
  UINT message;
  WPARAM wparam = 0;
  if (is(argv[1], "find"))
    message = 0;
  else if (is(argv[1], "close"))
    message = WM_CLOSE;
  else if (is(argv[1], "destroy"))
    message = WM_USER + 100;
  else if (is(argv[1], "endsession"))
    message = WM_ENDSESSION, wparam = TRUE;
  else
    return 4;
  HWND window = sys::FindWindowW(WSTR("SignalWindow"), WSTR("SignalWindow"));
  if (!window) return 1;
  if (message && !sys::PostMessageW(window, message, wparam, 0)) return 2;
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return poster(argc, argv); }
#else
int main(int argc, char** argv) { return poster(argc, argv); }
#endif
