// AskFinder: hands a copy or a move of a set of items to the file manager.
//
// Where the library came from, the request was an event to the desktop's file manager, which
// did the work with its own progress window and conflict questions. Linux desktops share no
// such service, so a request goes to a file-manager agent:
//
//   - The request is checked first, in this order: the destination must be a directory
//     ("DstItem is not directory"), every item must still resolve to the object its reference
//     was made for ("fail: srcDesc create"); the other steps ("fail: dstDesc create",
//     "fail: AECreateList", "fail: AEPutDesc", "fail: AppleEvent build") fail only when memory
//     runs out. Nothing is handed over unless every item resolved.
//   - The agent then receives the request and answers whether it accepted and carried it out
//     ("fail: AppleEvent send" when not). Any exception inside is caught and answered as false.
//   - The agent built into the library carries the request out itself, item by item in order:
//     each item keeps its name in the destination folder; a copy is made under a hidden
//     temporary name (".xpcopy-XXXXXXXX.tmp", eight hexadecimal digits, as for a copy by paths;
//     a folder for a folder) created exclusively in the destination folder, its files' data
//     copied in the kernel, and renamed into place when complete, so the destination shows the old item or the whole new one, never a part; with
//     replacing, what is there is replaced (a folder that holds something is exchanged in one
//     step and then removed), without it an item whose name is taken fails. A move on one
//     volume is a rename; across volumes it is such a copy followed by the removal of the
//     source. Symbolic links inside are copied as links, never followed; FIFOs, devices and
//     sockets are refused. A copy never replaces the item it copies, nor a folder that holds it
//     (a copy of an item into its own folder, replacing, is refused and changes nothing).
//     Data copies keep the holes of sparse files. It stops at the first item that fails and answers false (the items
//     before it stay done): without a user interface, the answer is the only way to report it.
//
// Plugging in another agent: a desktop build that wants the file manager's own progress and
// conflict dialogs implements IXpFileManagerAgent (for instance by sending the items as file://
// URIs to the file manager's D-Bus copy and move operations) and installs it once at start-up
// with AskFinder::SetAgent(&agent), before any request; the agent must outlive every request.
// Perform runs on the calling thread and may block until the file manager has finished.
#ifndef ASKFINDER_H
#define ASKFINDER_H

#include "XpCommonLib.h"
#include "XpString.h"

#include <list>
#include <sys/types.h>
#include <vector>

/** \addtogroup fileoperations
    \{ */

// Reference to a file-system object: the Linux stand-in for the platform's opaque file
// reference. Holds the object's resolved absolute path (symbolic links followed) and its device
// and inode numbers, so that a request can tell whether the path still names the same object.
struct XP_API FSRef {
    XpStringT<char> path;   // absolute, symbolic links resolved
    dev_t device = 0;       // st_dev of the object when the reference was made
    ino_t inode = 0;        // st_ino of the object when the reference was made
};

// Makes a reference to an existing object. 0, or the errno value of the failure (ENOENT for a
// missing path; EINVAL for a null argument); ref is left alone on failure.
XP_API int FSPathMakeRef(const char* path, FSRef* ref);

// What an agent receives: the items' resolved paths in order, the destination folder's, whether
// an item of the same name in the destination is to be replaced.
struct XP_API XpFileManagerRequest {
    // Move the items, or copy them.
    enum Operation { opMove, opDuplicate };
    Operation operation = opDuplicate;       // what the agent is asked to do
    std::vector<XpStringT<char> > items;     // resolved paths of the items, in order
    XpStringT<char> destination;             // resolved path of the destination folder
    bool replacing = false;                  // replace an item of the same name there
};

// The component that carries requests out.
class XP_API IXpFileManagerAgent {
public:
    virtual ~IXpFileManagerAgent();
    // True when the request was accepted and carried out; called on the requesting thread.
    virtual bool Perform(const XpFileManagerRequest& request) = 0;
};

// Requests to the file manager (an IXpFileManagerAgent): move or duplicate items. Class methods only.
class XP_API AskFinder {
public:
    AskFinder() = delete;
    // Moves the items into the destination folder; true when the agent accepted the request.
    static bool MoveItem(const std::list<FSRef>& items, const FSRef& destination, bool replacing);
    // Copies the items into the destination folder; true when the agent accepted the request.
    static bool DuplicateItem(const std::list<FSRef>& items, const FSRef& destination,
                              bool replacing);
    // Installs the agent that receives the requests (null: the built-in one) and returns the one
    // it replaces. Not owned.
    static IXpFileManagerAgent* SetAgent(IXpFileManagerAgent* agent);
    // The failure message of the calling thread's last request ("" when it succeeded), for
    // callers and tests that want to know which step refused it.
    static const char* LastFailureMessage();
};

/** \} */

#endif
