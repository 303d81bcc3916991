#include "PostInstallSection.h"

#include "OruAppUtility.h"
#include "OruPlatform_Linux.h"

#include <XpCommonLib.h>

namespace {

// Command (0x0100), Shift (0x0200) and Control (0x1000) all held; Option and Caps Lock play no part.
const uint32_t kForceFreshInstallMask = 0x1300;

} // namespace

PostInstallSection::~PostInstallSection()
{
    InstallerNotificationCenter::defaultCenter().removeObserver(this);
}

std::string PostInstallSection::title()
{
    // One call per key, so that xgettext finds both keys for the catalog.
    return alreadyInstalled_ ? getLocalizedStringForKey("msg_start_oru") : getLocalizedStringForKey("msg_database_settings");
}

InstallerPane* PostInstallSection::firstPane()
{
    return alreadyInstalled_ ? launchAppPane_ : dbSettingPane_;
}

bool PostInstallSection::shouldLoad()
{
    if ((GetCurrentEventKeyModifiers() & kForceFreshInstallMask) == kForceFreshInstallMask) {
        alreadyInstalled_ = false;
        InstallerRecordActivity("installed-before", "not asked (Command+Shift+Control held)");
    } else {
        alreadyInstalled_ = OruAppUtility::alreadyInstalled();
        InstallerRecordActivity("installed-before", alreadyInstalled_ ? "yes" : "no");
    }
    XpCommonLibInit();
    OruAppUtility::createMutex();
    InstallerNotificationCenter::defaultCenter().addObserver(
        this, InstallerApplicationWillTerminateNotification,
        [this](const InstallerNotification& note) { willTerminateInstall(note); });
    return true;
}

void PostInstallSection::willTerminateInstall(const InstallerNotification&)
{
    OruAppUtility::destoryMutex();
}

std::string PostInstallSection::getLocalizedStringForKey(const std::string& key)
{
    return OruPlatform_Linux::bundleLocalizedString(key);
}
