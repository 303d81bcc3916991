// InstallerAnswers: the choices a person would make on the installer's road, written once in a
// small key file (GLib's GKeyFile syntax) for installs nobody watches, `--answers FILE` on either
// host. The file, every group and key optional:
//
//   [Road]
//   Moves=continue,button:1     # one per page shown after the installation page, as --actions
//   ChangeFolders=false         # on a pane that offers a button (the settings pane's
//                               # "Change Folders…"): true presses it, false continues
//   [Authorization]
//   Answer=yes                  # polkit, yes or no: who answers requests for rights
//   [Payload]
//   Install=/srv/Ombrix.app=/opt/Ombrix;/srv/ombrix.conf=/etc/ombrix.conf   # SRC=DEST;...
//
// The file is read whole before anything happens, and refused, naming its line, for a group or
// key it does not know (a translated key "Key[de]" included), a key given twice, a value it does
// not take or a line that is not a key file line. It must be a regular file of at most 64 KiB; a
// FIFO or device given as the file is refused without waiting on it.
//
// A choice made both on the command line and in the file (--authorize and Answer, --actions and
// Moves) is a usage error rather than a silent precedence. The file's payloads follow those of
// --install. `Answer=ask` is refused: the file is for runs nobody answers.
#ifndef INSTALLERANSWERS_H
#define INSTALLERANSWERS_H

#include <InstallerPlugin.h>

#include <string>
#include <utility>
#include <vector>

class InstallerSession;

struct InstallerAnswers {
    std::string path;                // "" when no file was given
    std::vector<std::string> moves;  // [Road] Moves
    bool movesGiven = false;
    int changeFolders = -1;          // [Road] ChangeFolders: -1 not said, 0 false, 1 true
    std::string authorize;           // [Authorization] Answer, "" when not said
    std::vector<std::pair<std::string, std::string>> payload; // [Payload] Install
};

// Whether `move` is one the road takes: continue, back, quit, button or button:N (N from 1).
INSTALLER_API bool InstallerIsMove(const std::string& move);

// Reads the answers file at `path`; false with one line in `error` ("FILE:LINE: what is wrong",
// or "FILE: why it cannot be read") when it is refused.
INSTALLER_API bool InstallerReadAnswers(const std::string& path, InstallerAnswers& answers, std::string& error);

// The answered move for the page the session shows (a pane or the summary), and advances
// `nextMove` through the Moves list: the next listed move while there is one, then on a pane
// with a button the ChangeFolders answer, else "continue".
INSTALLER_API std::string InstallerAnsweredMove(const InstallerAnswers& answers, const InstallerSession& session,
                                                size_t& nextMove);

#endif
