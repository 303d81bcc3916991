// The bundle's factory: builds the section and its two panes, lays out the panes' controls and
// connects the outlets and the button's action, as an interface definition would.
#include "DBSettingPane.h"
#include "LaunchAppPane.h"
#include "PostInstallSection.h"

#include <memory>

struct PostInstallSectionInterface {
    static void build(InstallerPluginContents& contents)
    {
        auto section = std::make_unique<PostInstallSection>();
        auto db = std::make_unique<DBSettingPane>(section.get());
        auto launch = std::make_unique<LaunchAppPane>(section.get());

        std::vector<InstallerControl*> row;
        db->labelDescription_ = db->addControl<InstallerTextField>(row);
        db->addRow(std::move(row));
        const std::pair<InstallerTextField* DBSettingPane::*, InstallerTextField* DBSettingPane::*> folders[] = {
            {&DBSettingPane::labelPhoto_, &DBSettingPane::settingPhoto_},
            {&DBSettingPane::labelVideo_, &DBSettingPane::settingVideo_},
            {&DBSettingPane::labelMusic_, &DBSettingPane::settingMusic_},
            {&DBSettingPane::labelApplication_, &DBSettingPane::settingApplication_},
        };
        for (const auto& folder : folders) {
            row.clear();
            (*db).*(folder.first) = db->addControl<InstallerTextField>(row);
            (*db).*(folder.second) = db->addControl<InstallerTextField>(row);
            db->addRow(std::move(row));
        }
        row.clear();
        db->buttonSelectFolder_ = db->addControl<InstallerButton>(row);
        db->addRow(std::move(row));
        DBSettingPane* dbPane = db.get();
        db->buttonSelectFolder_->setAction([dbPane](InstallerButton* sender) { dbPane->selectFolderSelected(sender); });

        row.clear();
        launch->descriptionField_ = launch->addControl<InstallerTextField>(row);
        launch->addRow(std::move(row));

        // Each pane is the section's only one on its road: after it the installer goes on.
        section->dbSettingPane_ = db.get();
        section->launchAppPane_ = launch.get();

        contents.sectionClassName = "PostInstallSection";
        contents.section = std::move(section);
        contents.panes.emplace_back("DBSettingPane", std::move(db));
        contents.panes.emplace_back("LaunchAppPane", std::move(launch));
    }
};

extern "C" __attribute__((visibility("default"))) void InstallerPluginCreate(InstallerPluginContents& contents)
{
    PostInstallSectionInterface::build(contents);
}
