// A plug-in for testing the host: it records every call the host makes as a "call" activity, so
// the order can be read back in-process (InstallerActivities) or from installer-host's result line.
// Road: pane A (button "Next" asks gotoNextPane) -> pane B (asks for an authorization when left).
// RECORDING_DECLINE=1 in the environment makes shouldLoad answer false.
#include <InstallerPlugin.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

void record(const std::string& what) { InstallerRecordActivity("call", what); }

class RecordingSection : public InstallerSection {
public:
    ~RecordingSection() override { InstallerNotificationCenter::defaultCenter().removeObserver(this); }
    std::string title() override { return record("title"), "Recording"; }
    InstallerPane* firstPane() override { return record("firstPane"), first; }
    bool shouldLoad() override
    {
        char mods[16];
        std::snprintf(mods, sizeof mods, "0x%04x", static_cast<unsigned>(GetCurrentEventKeyModifiers()));
        record(std::string("shouldLoad:") + mods);
        InstallerNotificationCenter::defaultCenter().addObserver(
            this, InstallerApplicationWillTerminateNotification, [](const InstallerNotification&) { record("terminate"); });
        const char* decline = std::getenv("RECORDING_DECLINE");
        return !(decline && std::string(decline) == "1");
    }
    InstallerPane* first = nullptr;
};

class RecordingPane : public InstallerPane {
public:
    RecordingPane(InstallerSection* section, std::string name, bool askAuthorization)
        : InstallerPane(section), name_(std::move(name)), ask_(askAuthorization) {}
    void willEnterPane(int direction) override { record(name_ + ".enter:" + std::to_string(direction)); }
    std::string title() override { return record(name_ + ".title"), "Recording " + name_; }
    void willExitPane(int direction) override
    {
        record(name_ + ".exit:" + std::to_string(direction));
        if (ask_)
            record(InstallerRequestAuthorization("test.right.", "testing") ? "auth:granted" : "auth:refused");
    }

private:
    std::string name_;
    bool ask_;
};

} // namespace

extern "C" __attribute__((visibility("default"))) void InstallerPluginCreate(InstallerPluginContents& contents)
{
    auto section = std::make_unique<RecordingSection>();
    auto a = std::make_unique<RecordingPane>(section.get(), "A", false);
    auto b = std::make_unique<RecordingPane>(section.get(), "B", true);
    std::vector<InstallerControl*> row;
    InstallerButton* next = a->addControl<InstallerButton>(row);
    a->addRow(std::move(row));
    next->setTitle("Next");
    next->setAction([pane = a.get()](InstallerButton*) {
        record("A.button");
        pane->gotoNextPane();
    });
    a->setNextPane(b.get());
    section->first = a.get();
    contents.sectionClassName = "RecordingSection";
    contents.section = std::move(section);
    contents.panes.emplace_back("A", std::move(a));
    contents.panes.emplace_back("B", std::move(b));
}
