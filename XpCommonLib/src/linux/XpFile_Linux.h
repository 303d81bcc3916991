// Internal: what only the Linux halves of the file modules ask of XpFile (the portable interface
// is _XpFileSub.h).
#ifndef XPFILE_LINUX_H
#define XPFILE_LINUX_H

class XpAbstractFile;

class _XpFileSub_Linux {
public:
    // The descriptor of an open XpFile; -1 for a closed one and for any other kind of object.
    static int Descriptor(const XpAbstractFile& file);
};

#endif
