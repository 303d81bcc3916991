// DBSettingPane: the pane shown first after a fresh installation. It shows the target
// application's four media folders and a change-folder button; however the person leaves it, the
// target application is started ("showSettings" after the button, else "reconstructDatabase")
// and registered as a login item for all users.
#ifndef DBSETTINGPANE_H
#define DBSETTINGPANE_H

#include <InstallerPlugin.h>

#include <string>

class DBSettingPane : public InstallerPane {
public:
    explicit DBSettingPane(InstallerSection* section) : InstallerPane(section) {}
    // Stops observing the terminate notification.
    ~DBSettingPane() override;

    // Stops observing, starts the target application in the current mode, adds the login item.
    // The direction plays no part.
    void willExitPane(int direction) override;
    // The change-folder button: settings mode, then on to the next pane (which leaves this one).
    void selectFolderSelected(InstallerButton* sender);
    // Clears the installer mutex mark, observes the terminate notification, resets the mode,
    // disables Go Back and fills the texts and the four folders.
    void willEnterPane(int direction) override;
    // The installer ends while the pane is shown: leave it as going forward.
    void willTerminateInstall(const InstallerNotification& notification);
    // The section's title.
    std::string title() override;
    // As PostInstallSection::getLocalizedStringForKey.
    std::string getLocalizedStringForKey(const std::string& key);

private:
    friend struct PostInstallSectionInterface;

    InstallerTextField* labelDescription_ = nullptr;
    InstallerTextField* labelPhoto_ = nullptr;
    InstallerTextField* settingPhoto_ = nullptr;
    InstallerTextField* labelVideo_ = nullptr;
    InstallerTextField* settingVideo_ = nullptr;
    InstallerTextField* labelMusic_ = nullptr;
    InstallerTextField* settingMusic_ = nullptr;
    InstallerTextField* labelApplication_ = nullptr;
    InstallerTextField* settingApplication_ = nullptr;
    InstallerButton* buttonSelectFolder_ = nullptr;
    bool launchAppWithShowSettingsMode_ = false;
};

#endif
