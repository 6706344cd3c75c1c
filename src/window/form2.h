// Form2: the program's one window and the removal it asks about.
//
// The removal members (form2.cpp) are portable and reach Windows only
// through PlatformServices; the window itself (form2_window.cpp) exists only
// in the Windows build.
#pragma once

#include "platform/platform_services.h"

namespace clearwick {

class Form2 {
public:
    explicit Form2(PlatformServices& platform) : platform_(platform) {}

    // Thin wrappers over the registry; they never report an outcome.
    void DeleteKey(KeyHandle Hkey, const char* strKey);
    void DeleteValue(KeyHandle Hkey, const char* strPath, const char* strValue);

private:
    // Closes the product, deletes its autorun value, writes and starts the
    // removal script and ends the program.
    void cmdOK_Click();
    // Ends the program without changing anything.
    void cmdCancel_Click();

    PlatformServices& platform_;

    // The window (Windows build only) shows the question and delivers the
    // clicks.
    friend struct Form2Window;
    friend struct Form2TestAccess;  // unit tests press the buttons directly
};

}  // namespace clearwick
