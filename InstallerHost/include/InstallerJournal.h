// InstallerJournal: the record of an installer run, for the person who supports the installation
// afterwards ("what did the installer do on this desktop?").
//
// The session core (InstallerSession) opens a run when its road starts and writes one entry per
// step, so both hosts keep the same record without a line of their own:
//
//   step        MESSAGE_ID                        fields beside INSTALLER_RUN and INSTALLER_STEP
//   road        4613f095bb8d451287932df28ddd308b  INSTALLER_HOST INSTALLER_BUNDLE INSTALLER_SECTION
//                                                 INSTALLER_FIRST_PANE INSTALLER_PAYLOADS
//   file        bdfc419584354f349e1c77edd6aa29c5  INSTALLER_PATH INSTALLER_SIZE INSTALLER_SHA256 INSTALLER_VIA,
//                                                 or INSTALLER_OUTCOME=failed|cancelled and INSTALLER_REASON
//   right       2f1602c508444b42b0bf419a70095361  INSTALLER_RIGHT INSTALLER_ANSWER=granted|refused
//   login-item  5b1a56a8ad434d628bd4e457fe813f20  INSTALLER_OUTCOME=added|refused|failed INSTALLER_DETAIL
//   launch      cb73bc97595749fdaa1b73c54685112d  INSTALLER_OUTCOME=started|failed INSTALLER_DETAIL
//                                                 (the arguments, and for whom)
//   end         4aca77d50e234b788a69dd919908e746  INSTALLER_ENDING=finished|quit|interrupted|declined
//                                                 INSTALLER_INSTALLATION=complete|failed|cancelled|refused|
//                                                 nothing|not-started, INSTALLER_PANES (INSTALLER_SIGNAL)
//   check       fadf4d0fd13a42f883c8fabd7ca8649a  INSTALLER_PATH INSTALLER_REASON (a payload refused
//                                                 before copying: no room, or no way to write)
//   removal     2c1b93f463f849f4912137872af3f875  INSTALLER_PATH INSTALLER_OUTCOME=removed|kept|failed
//                                                 (--uninstall; its run ends with an end step whose
//                                                 INSTALLER_ENDING is removal-done|removal-incomplete|
//                                                 nothing-recorded, with INSTALLER_REMOVED/KEPT/FAILED)
//
// Where it goes: to the systemd journal (sd_journal_send) when journald listens on
// /run/systemd/journal/socket, with SYSLOG_IDENTIFIER=installer-host for both hosts (the window
// names itself in INSTALLER_HOST), so `journalctl -t installer-host` shows every run and
// `journalctl INSTALLER_RUN=<id>` one of them. Where no journal runs (a container, a minimal
// system), the same entries go as lines to a plain log file: /var/log/installer-host.log for
// root, $XDG_STATE_HOME/installer-host/log (default ~/.local/state/installer-host/log) for anyone
// else. That file is opened for appending, never through a symbolic link and only when it is a
// regular file (a FIFO planted there is not waited on), created 0640 for root and 0600 for a
// person; the folders of the person's path are made 0700 where missing.
//
// The MESSAGE texts are English on purpose: they are read by support people and found by
// searches, whatever language the installer spoke. No secret and no content of a person's file
// goes into the record: paths, sizes, checksums, the names of rights and the plug-in's own
// account of what it did.
//
// INSTALLER_HOST_RECORD=off in the environment keeps a process from recording (the test suite
// sets it, so that its hundreds of runs do not fill the machine's journal or /var/log).
// Failing to record never stops an installation.
#ifndef INSTALLERJOURNAL_H
#define INSTALLERJOURNAL_H

#include <InstallerPlugin.h>

#include <string>
#include <utility>
#include <vector>

enum class InstallerRecordStep { Road, File, Right, LoginItem, Launch, End, Check, Removal };

using InstallerRecordFields = std::vector<std::pair<std::string, std::string>>;

// Starts the record of a run: a new random INSTALLER_RUN id, and the place it goes chosen now.
// A run begun again starts afresh.
INSTALLER_API void InstallerRecordBegin();
// Writes one step of the run begun (nothing before InstallerRecordBegin or after
// InstallerRecordFinish). `fields` are NAME=value pairs, names in capitals as the journal
// wants them. Any thread.
INSTALLER_API void InstallerRecordWrite(InstallerRecordStep step, const std::string& message,
                                        const InstallerRecordFields& fields, bool warning = false);
// Ends the run: later steps are not written.
INSTALLER_API void InstallerRecordFinish();
// The run's id (32 hex digits), "" when none was begun or recording is off.
INSTALLER_API std::string InstallerRecordRunId();
// Where this run's record goes: "journal", or the plain log file's path; "" when off.
INSTALLER_API std::string InstallerRecordPlace();

// Records each regular file of the payload `source` as placed at `destination` (the file itself,
// or each file below the folder, at its place under `destination`), with its size and SHA-256,
// read from the payload a piece at a time after the copy, on descriptors that follow no link
// below `source` and must be regular files. `via` says which road placed it ("self",
// "privileged-helper").
INSTALLER_API void InstallerRecordPlacedPayload(const std::string& source, const std::string& destination,
                                                const std::string& via);

#endif
