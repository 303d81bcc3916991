// Internal: the mount table as the availability checker and the trash need it (platform half of
// the availability checker).
#ifndef _XPNETWORKVOLUME_H
#define _XPNETWORKVOLUME_H

#include <XpString.h>

#include <string>

// True when the path lies on a network volume (see XpFileAvailableChecker.h for what counts).
// Never touches a file system that the mount table already names as network, so it cannot hang
// on a share that stopped answering. `mountPoint`, when not null and the answer came from the
// mount table, receives the volume's mount point; otherwise it is left alone.
bool _XpIsNetworkPath(const XpStringT<char>& path, XpStringT<char>* mountPoint);

// What one status call (links followed) tells of a path, for the checker's two status probes:
// the volume and, on a local one, the answer itself. On a network volume (by the mount table's
// text first, so that a dead share is never asked) nothing else is known. "" and text that is
// not valid UTF-8 are missing, as for the existence tests.
enum _XpPathKind { _XpPathOnNetwork, _XpPathMissing, _XpPathFile, _XpPathDirectory };
_XpPathKind _XpLocalPathKind(const XpStringT<char>& path);

// The mount point of the mount holding an absolute path, judged by the path's text against the
// mount table (the longest containing mount point); "" when the table cannot be read.
std::string _XpMountPointOf(const std::string& absolutePath);

#endif
