// Platform half of the date-time module on Linux.
//
// What stands in for the macOS services:
// - Local time <-> UTC: the C library's zone (TZ, else /etc/localtime). Local fields become an
//   instant with mktime (tm_isdst = -1, so the zone's rules decide on summer time), UTC fields
//   with timegm; instants become fields with localtime_r and gmtime_r. tzset runs before each
//   conversion, so a change of TZ counts at once, as the system zone is read at each call.
// - The date formatter: ICU's udat_open with the short/medium/long styles, in the locale named by
//   LC_ALL, LC_TIME or LANG. ICU keeps its own default zone, detected once; so that the text
//   shows the same local time as the C library, each call names the zone explicitly: TZ's (or
//   /etc/localtime's) zone ID when ICU knows it and agrees with the C library's offset at that
//   instant, else the fixed offset the C library reports ("GMT+09:00", POSIX zones like "JST-9").
#include "_XpDateTimeSub_Linux.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#include <XpThread.h>

#include <unicode/ucal.h>
#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

namespace {

// Formatter styles as the date-time module names them.
enum Style { STYLE_NONE = 0, STYLE_SHORT = 1, STYLE_MEDIUM = 2, STYLE_LONG = 3 };

UDateFormatStyle icuStyle(unsigned int style)
{
    switch (style) {
    case STYLE_SHORT:  return UDAT_SHORT;
    case STYLE_MEDIUM: return UDAT_MEDIUM;
    case STYLE_LONG:   return UDAT_LONG;
    default:           return UDAT_NONE;
    }
}

// Decomposed fields of a valid value; false when it is invalid or does not decompose.
bool fieldsOf(XpDateTime const& t, struct tm& fields)
{
    int year, month, day, hour, minute, second, dayOfWeek;
    if (!t.GetDateTime(year, month, day, hour, minute, second, dayOfWeek))
        return false;
    fields = {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return true;
}

XpDateTime fromFields(struct tm const& fields)
{
    XpDateTime result;
    // SetDateTime rejects years outside 100 to 9998 and a leap second, leaving the result invalid.
    result.SetDateTime(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                       fields.tm_min, fields.tm_sec);
    return result;
}

// mktime and timegm answer -1 both for failure and for 1969-12-31 23:59:59 UTC. They rewrite
// tm_wday only on success, so a value there that no weekday has tells the two apart.
bool instantOfLocal(struct tm fields, time_t& instant)
{
    fields.tm_isdst = -1;
    fields.tm_wday = -1;
    instant = mktime(&fields);
    return fields.tm_wday != -1;
}

bool instantOfUtc(struct tm fields, time_t& instant)
{
    fields.tm_wday = -1;
    instant = timegm(&fields);
    return fields.tm_wday != -1;
}

// The user's locale for dates as an ICU locale ID: "ja_JP.UTF-8@mod" gives "ja_JP".
std::string userLocale()
{
    const char* names[] = {"LC_ALL", "LC_TIME", "LANG"};
    std::string id;
    for (const char* name : names) {
        const char* v = getenv(name);
        if (v != nullptr && *v != '\0') {
            id = v;
            break;
        }
    }
    id = id.substr(0, id.find_first_of(".@"));
    if (id.empty() || id == "C" || id == "POSIX")
        return "en_US_POSIX";
    return id;
}

// The Olson name of the process's zone: TZ (":" and a "…/zoneinfo/" prefix removed), else the
// target of /etc/localtime. Empty TZ means UTC to the C library.
std::string zoneName()
{
    std::string name;
    const char* tz = getenv("TZ");
    if (tz != nullptr) {
        name = tz;
        if (name.empty())
            return "UTC";
        if (name[0] == ':')
            name.erase(0, 1);
    } else {
        char link[PATH_MAX];
        ssize_t n = readlink("/etc/localtime", link, sizeof link - 1);
        if (n <= 0)
            return std::string();
        name.assign(link, static_cast<size_t>(n));
    }
    size_t at = name.find("zoneinfo/");
    if (at != std::string::npos)
        name.erase(0, at + strlen("zoneinfo/"));
    return name;
}

// ICU's UTC offset (standard + daylight) of a zone at an instant, in seconds.
bool icuOffset(const std::u16string& zone, UDate when, long& offset)
{
    UErrorCode status = U_ZERO_ERROR;
    UCalendar* cal = ucal_open(reinterpret_cast<const UChar*>(zone.data()),
                               static_cast<int32_t>(zone.size()), "", UCAL_GREGORIAN, &status);
    if (U_FAILURE(status))
        return false;
    ucal_setMillis(cal, when, &status);
    int32_t zoneMs = ucal_get(cal, UCAL_ZONE_OFFSET, &status);
    int32_t dstMs = ucal_get(cal, UCAL_DST_OFFSET, &status);
    ucal_close(cal);
    if (U_FAILURE(status))
        return false;
    offset = (static_cast<long>(zoneMs) + dstMs) / 1000;
    return true;
}

// The zone ID to hand ICU for an instant (see the top of the file).
std::u16string icuZoneFor(time_t instant)
{
    tzset();
    struct tm local;
    long gmtoff = 0;
    if (localtime_r(&instant, &local) != nullptr)
        gmtoff = local.tm_gmtoff;

    std::string name = zoneName();
    if (!name.empty()) {
        std::u16string zone(name.begin(), name.end());
        UChar canonical[128];
        UBool isSystemID = false;
        UErrorCode status = U_ZERO_ERROR;
        ucal_getCanonicalTimeZoneID(reinterpret_cast<const UChar*>(zone.data()),
                                    static_cast<int32_t>(zone.size()), canonical, 128, &isSystemID,
                                    &status);
        long offset = 0;
        if (U_SUCCESS(status) && isSystemID &&
            icuOffset(zone, static_cast<UDate>(instant) * 1000.0, offset) && offset == gmtoff)
            return zone;
    }

    char custom[32];
    long magnitude = gmtoff < 0 ? -gmtoff : gmtoff;
    long h = magnitude / 3600, m = magnitude / 60 % 60, s = magnitude % 60;
    if (s != 0)
        snprintf(custom, sizeof custom, "GMT%c%02ld:%02ld:%02ld", gmtoff < 0 ? '-' : '+', h, m, s);
    else
        snprintf(custom, sizeof custom, "GMT%c%02ld:%02ld", gmtoff < 0 ? '-' : '+', h, m);
    std::string c(custom);
    return std::u16string(c.begin(), c.end());
}

// A UTC date-time as the user's local text in the given styles; "" when it cannot be shown.
XpStringT<char> xpStringFromDateWithFormatsByUTC(XpDateTime const& utc, unsigned int dateStyle,
                                                 unsigned int timeStyle)
{
    // The conversion to UTC answers an invalid value when the UTC fields leave the supported
    // years; its 0.0 must not be shown as a date of 1899.
    if (!utc.IsValid())
        return XpStringT<char>();
    XpDateTimeSpan sinceEpoch = utc - XpDateTime(1970, 1, 1, 0, 0, 0);
    if (!sinceEpoch.IsValid())
        return XpStringT<char>();
    long long seconds = sinceEpoch.GetTotalSeconds();
    XpLocalAutoreleasePool pool;

    std::u16string zone = icuZoneFor(static_cast<time_t>(seconds));
    std::string locale = userLocale();
    UErrorCode status = U_ZERO_ERROR;
    UDateFormat* formatter =
        udat_open(icuStyle(timeStyle), icuStyle(dateStyle), locale.c_str(),
                  reinterpret_cast<const UChar*>(zone.data()), static_cast<int32_t>(zone.size()),
                  nullptr, 0, &status);
    if (U_FAILURE(status))
        return XpStringT<char>();
    // ICU switches to the Julian calendar before 1582-10-15; our values are proleptic Gregorian,
    // so the change is moved before any date that can be shown.
    UCalendar* calendar = ucal_clone(udat_getCalendar(formatter), &status);
    if (U_SUCCESS(status)) {
        ucal_setGregorianChange(calendar, -DBL_MAX, &status);
        udat_setCalendar(formatter, calendar);
        ucal_close(calendar);
    }
    if (U_FAILURE(status)) {
        udat_close(formatter);
        return XpStringT<char>();
    }

    UChar text[256];
    int32_t length = udat_format(formatter, static_cast<UDate>(seconds) * 1000.0, text, 256,
                                 nullptr, &status);
    udat_close(formatter);
    if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING)
        return XpStringT<char>();

    char utf8[1024];
    int32_t utf8Length = 0;
    u_strToUTF8(utf8, sizeof utf8, &utf8Length, text, length, &status);
    if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING)
        return XpStringT<char>();
    return XpStringT<char>(utf8);
}

} // namespace

XpDateTime _XpDateTimeSub_Linux::ConvertLocalTimeToUTC(XpDateTime const& t)
{
    struct tm fields;
    time_t instant;
    struct tm utc;
    if (!fieldsOf(t, fields) || !instantOfLocal(fields, instant) || gmtime_r(&instant, &utc) == nullptr)
        return XpDateTime();
    return fromFields(utc);
}

XpDateTime _XpDateTimeSub_Linux::ConvertUTCToLocalTime(XpDateTime const& t)
{
    struct tm fields;
    time_t instant;
    struct tm local;
    if (!fieldsOf(t, fields) || !instantOfUtc(fields, instant))
        return XpDateTime();
    tzset();
    if (localtime_r(&instant, &local) == nullptr)
        return XpDateTime();
    return fromFields(local);
}

XpStringT<char> _XpDateTimeSub_Linux::GetLocalizedDateTimeString(XpDateTime const& t)
{
    return xpStringFromDateWithFormatsByUTC(ConvertLocalTimeToUTC(t), STYLE_MEDIUM, STYLE_MEDIUM);
}

XpStringT<char> _XpDateTimeSub_Linux::GetLocalizedDateString(XpDateTime const& t, bool shortStyle)
{
    return xpStringFromDateWithFormatsByUTC(ConvertLocalTimeToUTC(t),
                                            shortStyle ? STYLE_SHORT : STYLE_LONG, STYLE_NONE);
}

XpStringT<char> _XpDateTimeSub_Linux::GetLocalizedTimeString(XpDateTime const& t)
{
    return xpStringFromDateWithFormatsByUTC(ConvertLocalTimeToUTC(t), STYLE_NONE, STYLE_LONG);
}
