// The window half of installer-demo: runs a road with installer-host-gtk, either in the person's
// own session (they drive it) or on a private Xvfb display (a private headless weston with
// XP_DESKTOP_BACKEND=wayland), where the demo drives it over AT-SPI as a person would and saves a
// screenshot of every page.
#ifndef INSTALLER_DEMO_GUI_H
#define INSTALLER_DEMO_GUI_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

class PrivateDesktop;
class AtspiDriver;

class GuiDemo {
public:
    // `hostProgram`: the installer-host-gtk to run (the build tree's, or the one installed beside
    // the installed demo).
    explicit GuiDemo(std::string hostProgram);
    ~GuiDemo();
    GuiDemo(const GuiDemo&) = delete;
    GuiDemo& operator=(const GuiDemo&) = delete;

    // Uses the person's display when there is one; otherwise starts a private one and a folder
    // for the screenshots. false with the reason in `error`.
    bool start(std::string* error);
    bool headless() const { return desktop_ != nullptr; }
    // Where the screenshots go (made if missing) instead of a new temporary folder; before start().
    void setScreenshotFolder(const std::string& folder);
    const std::string& screenshotFolder() const { return folder_; }
    // Whether a screenshot could not be taken.
    bool screenshotFailed() const { return screenshotFailed_; }

    // Runs installer-host-gtk with `options` (the bundle last). Headless, it walks the road with
    // Continue and Allow, saving "<prefix>-<n>-<page>.png" for each page. Returns the host's exit
    // status (-1 when it could not be run or driven), the process id in `started`.
    int runRoad(const std::vector<std::string>& options, const std::string& prefix, pid_t* started);

private:
    // Saves the window of `host` with that title as <folder>/<name>.png (see
    // PrivateDesktop::screenshot for how on each backend).
    bool screenshot(pid_t host, const std::string& window, const std::string& name);

    std::string hostProgram_;
    std::unique_ptr<PrivateDesktop> desktop_;
    std::unique_ptr<AtspiDriver> driver_;
    std::string folder_;
    bool screenshotFailed_ = false;
};

#endif
