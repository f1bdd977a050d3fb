// The user's idle time from the X11 screen-saver extension.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <atomic>
#include <cstdlib>

#include "token.h"

namespace ZELK::PSESVC {
namespace {

std::atomic<int64_t (*)()> s_source {nullptr};

int64_t DisplayIdleTime()
{
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0')
        return -1;
    Display* display = XOpenDisplay(name);
    if (display == nullptr)
        return -1;
    int64_t seconds = -1;
    int eventBase = 0;
    int errorBase = 0;
    if (XScreenSaverQueryExtension(display, &eventBase, &errorBase)) {
        XScreenSaverInfo* info = XScreenSaverAllocInfo();
        if (info != nullptr) {
            if (XScreenSaverQueryInfo(display, DefaultRootWindow(display), info))
                seconds = static_cast<int64_t>(info->idle / 1000);
            XFree(info);
        }
    }
    XCloseDisplay(display);
    return seconds;
}

}  // namespace

int64_t CToken::GetSystemIdleTime()
{
    int64_t (*source)() = s_source.load();
    return source != nullptr ? source() : DisplayIdleTime();
}

void CToken::SetIdleTimeSource(int64_t (*source)())
{
    s_source.store(source);
}

}  // namespace ZELK::PSESVC
