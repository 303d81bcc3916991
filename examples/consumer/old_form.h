// A function of old_form.cpp, which includes the library's headers in the older form.
#ifndef XP_CONSUMER_OLD_FORM_H
#define XP_CONSUMER_OLD_FORM_H

bool oldFormJoins();

#endif
