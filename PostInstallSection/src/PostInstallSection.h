// PostInstallSection: the section the installer loads from the bundle. It decides once whether
// this run updates an installed target application or installs it afresh, holds the installer
// mutex from loading until a pane is entered or the installer ends, and names the first pane.
#ifndef POSTINSTALLSECTION_H
#define POSTINSTALLSECTION_H

#include <InstallerPlugin.h>

#include <string>

class PostInstallSection : public InstallerSection {
public:
    PostInstallSection() = default;
    // Stops observing the terminate notification: the center must not call a section gone.
    ~PostInstallSection() override;

    // "msg_start_oru" on an update, "msg_database_settings" on a fresh installation.
    std::string title() override;
    // The launch pane on an update, the settings pane on a fresh installation.
    InstallerPane* firstPane() override;
    // Decides the case (Command+Shift+Control held forces a fresh installation), initialises
    // the library, takes the installer mutex and observes the terminate notification. Always true.
    bool shouldLoad() override;
    // The installer ends: clears the installer mutex mark (nothing when a pane already did).
    void willTerminateInstall(const InstallerNotification& notification);
    // The text of `key` in the plug-in bundle's catalog, in the user's language; the key itself
    // when the catalog lacks it.
    std::string getLocalizedStringForKey(const std::string& key);

private:
    friend struct PostInstallSectionInterface;

    InstallerPane* dbSettingPane_ = nullptr;
    InstallerPane* launchAppPane_ = nullptr;
    bool alreadyInstalled_ = false;
};

#endif
