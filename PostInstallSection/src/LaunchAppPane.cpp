#include "LaunchAppPane.h"

#include "OruAppUtility.h"
#include "OruPlatform_Linux.h"

LaunchAppPane::~LaunchAppPane()
{
    InstallerNotificationCenter::defaultCenter().removeObserver(this);
}

void LaunchAppPane::willExitPane(int)
{
    InstallerNotificationCenter::defaultCenter().removeObserver(this);
    OruAppUtility::launchApplicationWithArguments(std::nullopt);
    OruAppUtility::addToGlobalLoginItems();
}

void LaunchAppPane::willEnterPane(int)
{
    OruAppUtility::destoryMutex();
    InstallerNotificationCenter::defaultCenter().addObserver(
        this, InstallerApplicationWillTerminateNotification,
        [this](const InstallerNotification& note) { willTerminateInstall(note); });
    setPreviousEnabled(false);
    descriptionField_->setStringValue(getLocalizedStringForKey("msg_start_oru_info"));
}

void LaunchAppPane::willTerminateInstall(const InstallerNotification&)
{
    willExitPane(InstallerDirectionForward);
}

std::string LaunchAppPane::title()
{
    return section()->title();
}

std::string LaunchAppPane::getLocalizedStringForKey(const std::string& key)
{
    return OruPlatform_Linux::bundleLocalizedString(key);
}
