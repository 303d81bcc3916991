#include "DBSettingPane.h"

#include "OruAppUtility.h"
#include "OruPlatform_Linux.h"

DBSettingPane::~DBSettingPane()
{
    InstallerNotificationCenter::defaultCenter().removeObserver(this);
}

void DBSettingPane::willExitPane(int)
{
    InstallerNotificationCenter::defaultCenter().removeObserver(this);
    // Both results are left alone: the installer goes on whether or not the application started.
    OruAppUtility::launchApplicationWithArguments(std::vector<std::string>{
        launchAppWithShowSettingsMode_ ? "showSettings" : "reconstructDatabase"});
    OruAppUtility::addToGlobalLoginItems();
}

void DBSettingPane::selectFolderSelected(InstallerButton*)
{
    launchAppWithShowSettingsMode_ = true;
    gotoNextPane();
}

void DBSettingPane::willEnterPane(int)
{
    OruAppUtility::destoryMutex();
    InstallerNotificationCenter::defaultCenter().addObserver(
        this, InstallerApplicationWillTerminateNotification,
        [this](const InstallerNotification& note) { willTerminateInstall(note); });
    launchAppWithShowSettingsMode_ = false;
    setPreviousEnabled(false);

    labelDescription_->setStringValue(getLocalizedStringForKey("msg_database_settings_info") + "\n\n" +
                                      getLocalizedStringForKey("msg_create_database_change_folders_guide"));
    labelPhoto_->setStringValue(getLocalizedStringForKey("msg_photo"));
    labelVideo_->setStringValue(getLocalizedStringForKey("msg_store_video"));
    labelMusic_->setStringValue(getLocalizedStringForKey("msg_music"));
    labelApplication_->setStringValue(getLocalizedStringForKey("msg_applications_backup_files"));

    if (auto settings = OruAppUtility::getHomePathSettings()) {
        // A folder without a value shows an empty text.
        auto valueFor = [&settings](const char* key) {
            auto it = settings->find(key);
            return it == settings->end() ? std::string() : it->second;
        };
        settingPhoto_->setStringValue(valueFor(kOruPhotoHomePathKey));
        settingVideo_->setStringValue(valueFor(kOruVideoHomePathKey));
        settingMusic_->setStringValue(valueFor(kOruMusicHomePathKey));
        settingApplication_->setStringValue(valueFor(kOruApplicationHomePathKey));
    }
    buttonSelectFolder_->setTitle(getLocalizedStringForKey("msg_change_folder"));
}

void DBSettingPane::willTerminateInstall(const InstallerNotification&)
{
    willExitPane(InstallerDirectionForward);
}

std::string DBSettingPane::title()
{
    return section()->title();
}

std::string DBSettingPane::getLocalizedStringForKey(const std::string& key)
{
    return OruPlatform_Linux::bundleLocalizedString(key);
}
