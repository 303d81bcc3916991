// Texts marked the ways the installer's sources mark them, for the catalog check's own tests.
#define _(text) text
#define N_(text) text
const char* const kUsage = N_("Usage: demo [options]\n"
                              "  --help  shows this text\n");
const char* open() { return _("Open"); }
