// LaunchAppPane: the pane shown first after an update. Leaving it starts the target application
// without arguments and registers it as a login item for all users.
#ifndef LAUNCHAPPPANE_H
#define LAUNCHAPPPANE_H

#include <InstallerPlugin.h>

#include <string>

class LaunchAppPane : public InstallerPane {
public:
    explicit LaunchAppPane(InstallerSection* section) : InstallerPane(section) {}
    // Stops observing the terminate notification.
    ~LaunchAppPane() override;

    // Stops observing, starts the target application with no arguments, adds the login item.
    void willExitPane(int direction) override;
    // Clears the installer mutex mark, observes the terminate notification, disables Go Back and
    // shows the description.
    void willEnterPane(int direction) override;
    // The installer ends while the pane is shown: leave it as going forward.
    void willTerminateInstall(const InstallerNotification& notification);
    // The section's title.
    std::string title() override;
    // As PostInstallSection::getLocalizedStringForKey.
    std::string getLocalizedStringForKey(const std::string& key);

private:
    friend struct PostInstallSectionInterface;

    InstallerTextField* descriptionField_ = nullptr;
};

#endif
