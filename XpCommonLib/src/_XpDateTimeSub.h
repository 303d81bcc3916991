// What the date-time module asks of the platform: the process's time zone (local time <-> UTC,
// time_t) and localized texts. Declared here so that XpDateTime.cpp stays portable; each platform
// implements it in its own folder (linux/_XpDateTimeSub_Linux.cpp). Internal to the library;
// exported only so that the module's tests can reach the local-to-UTC conversion.
#ifndef _XPDATETIMESUB_H
#define _XPDATETIMESUB_H

#include <XpDateTime.h>

#include <ctime>

// The time_t of the local time t in the process's time zone, the zone's rules deciding summer
// time (mktime); false when t is invalid or the instant cannot be represented. Behind
// XpDateTime's operator long and the dates the file objects set.
bool _XpLocalTimeToTimeT(XpDateTime const& t, time_t* out);
// The local fields of the instant t in the process's time zone, a change of TZ counted at once;
// false when t cannot be represented.
bool _XpTimeTToLocalTime(time_t t, std::tm* local);

class XP_API _XpDateTimeSub {
public:
    _XpDateTimeSub() {}
    ~_XpDateTimeSub() {}

    // The UTC fields of the instant whose local time (process time zone) is t; invalid when t is
    // invalid or the UTC fields fall outside the years 100 to 9998.
    XpDateTime ConvertLocalTimeToUTC(XpDateTime const& t);
    // The local fields of the instant whose UTC time is t; invalid likewise.
    XpDateTime ConvertUTCToLocalTime(XpDateTime const& t);
    // Medium date and medium time of the local time t; "" when it cannot be converted.
    XpStringT<char> GetLocalizedDateTimeString(XpDateTime const& t);
    // The short (shortStyle) or long date of the local time t.
    XpStringT<char> GetLocalizedDateString(XpDateTime const& t, bool shortStyle);
    // The long time (seconds and zone) of the local time t.
    XpStringT<char> GetLocalizedTimeString(XpDateTime const& t);
};

#endif
