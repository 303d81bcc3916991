// Internal: XpTreeWriter::AddFile for the tree copy, which has looked at every folder it made and
// so knows the group a new file gets in it, and spares each file that question.
#ifndef _XPTREEWRITER_LINUX_H
#define _XPTREEWRITER_LINUX_H

#include <XpTreeWriter.h>

#include <sys/stat.h>
#include <sys/types.h>

// The group a file made in the folder open at folder gets (the folder's in a set-group-id folder,
// else the caller's).
gid_t _XpNewFileGroup(int folder);
// XpTreeWriter::AddFile, with newFileGroup the group a file made in folder gets (gid_t(-1):
// unknown, so a kept owner is always given by fchown) and dataStat what fstat said of data
// (null: asked here).
XpFileError _XpTreeWriterAddFile(const XpTreeWriter& writer, int folder, gid_t newFileGroup, const char* name,
                                 const XpTreeEntry& entry, int data, const struct stat* dataStat,
                                 IXpFileOpProgressObserver* observer);

// XpTreeWriter::OpenFolder, telling in *made whether the folder was made now (false: there
// already, and entered): nothing can be in a folder this copy has just made, so its entries
// need not be looked for before they are written.
XpFileError _XpTreeWriterOpenFolder(const XpTreeWriter& writer, int parent, const char* name, XpFd* folder, bool* made);

#endif
