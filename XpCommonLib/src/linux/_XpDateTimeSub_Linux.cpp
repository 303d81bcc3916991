// Platform half of the date-time module on Linux.
//
// What stands in for the macOS services:
// - Local time <-> UTC: the C library's zone (TZ, else /etc/localtime). Local fields become an
//   instant with mktime (tm_isdst = -1, so the zone's rules decide on summer time), UTC fields
//   with timegm; instants become fields with localtime_r and gmtime_r. tzset runs before each
//   conversion, so a change of TZ counts at once, as the system zone is read at each call.
// - The date formatter: ICU's udat_open with the short/medium/long styles, in the locale named by
//   LC_ALL, LC_TIME or LANG; a glibc modifier becomes the ICU locale's script or variant
//   ("sr_RS.UTF-8@latin" is sr_Latn_RS). ICU keeps its own default zone, detected once; so that
//   the text shows the same local time as the C library, each formatter is opened for an explicit
//   zone: TZ's (or /etc/localtime's) zone ID when ICU knows it and agrees with the C library's
//   offset at that instant, else the fixed offset the C library reports ("GMT+09:00", POSIX zones
//   like "JST-9").
// - A formatter per call would cost ten times the formatting itself (udat_open is that slow), so
//   each thread keeps the formatters it opened (see ThreadCache).
#include "_XpDateTimeSub.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

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

// glibc locale modifiers that name a script or a variant ICU knows. The others are dropped:
// @euro changes only the currency, and ICU has no data for @saaho or @abegede.
struct Modifier {
    const char* name;
    const char* script;
    const char* variant;
};
const Modifier MODIFIERS[] = {
    {"latin", "Latn", nullptr},      {"cyrillic", "Cyrl", nullptr},
    {"devanagari", "Deva", nullptr}, {"iqtelif", "Latn", nullptr},   // Tatar in Latin letters
    {"valencia", nullptr, "VALENCIA"},
};

// Whether ICU has its own data for a locale ID ("sr_Latn"). For a language in a script it lacks,
// ICU would fall back to its default locale, which is worse than the language in its usual script.
bool icuHasLocale(const std::string& id)
{
    for (int32_t i = 0, n = uloc_countAvailable(); i < n; ++i)
        if (id == uloc_getAvailable(i))
            return true;
    return false;
}

// Whether a text is 1 to 8 ASCII letters, or letters and digits.
bool isLocalePart(const std::string& part, bool digitsToo)
{
    auto allowed = [digitsToo](char c) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        return letter || (digitsToo && c >= '0' && c <= '9');
    };
    return !part.empty() && part.size() <= 8 && std::all_of(part.begin(), part.end(), allowed);
}

// The ICU locale ID of a POSIX locale name, language[_territory][.codeset][@modifier]:
// "sr_RS.UTF-8@latin" gives "sr_Latn_RS", "ca_ES.UTF-8@valencia" "ca_ES_VALENCIA". "C", "POSIX"
// and a name that is no locale name at all give en_US_POSIX, as the C library falls back to "C":
// such a name must not reach ICU, which takes a locale ID as part of a file name (and whose
// udat_open crashes on some, "100/1/1 0:0cnleia" for one).
std::string icuLocaleOf(const std::string& posix)
{
    std::string base = posix.substr(0, posix.find_first_of(".@"));
    size_t underscore = base.find('_');
    std::string language = base.substr(0, underscore);
    std::string territory = underscore == std::string::npos ? "" : base.substr(underscore + 1);
    if (base == "C" || base == "POSIX" || !isLocalePart(language, false) ||
        (underscore != std::string::npos && !isLocalePart(territory, true)))
        return "en_US_POSIX";
    size_t at = posix.find('@');
    if (at == std::string::npos)
        return base;
    std::string modifier = posix.substr(at + 1);
    for (const Modifier& m : MODIFIERS) {
        if (strcasecmp(modifier.c_str(), m.name) != 0)
            continue;
        if (m.script != nullptr && icuHasLocale(language + "_" + m.script))
            return language + "_" + m.script + (territory.empty() ? "" : "_" + territory);
        if (m.variant != nullptr)
            return language + "_" + territory + "_" + m.variant;
    }
    return base;
}

// The Olson name of the process's zone from TZ's value (":" and a "…/zoneinfo/" prefix removed)
// or from the target of /etc/localtime. Empty TZ means UTC to the C library.
std::string zoneNameOf(bool fromTz, const std::string& source)
{
    if (fromTz && source.empty())
        return "UTC";
    std::string name = source;
    if (fromTz && name[0] == ':')
        name.erase(0, 1);
    size_t at = name.find("zoneinfo/");
    if (at != std::string::npos)
        name.erase(0, at + strlen("zoneinfo/"));
    return name;
}

// A fixed offset as ICU's custom zone ID: "GMT+09:00", "GMT-03:30", "GMT+00:19:32".
std::u16string customZone(long gmtoff)
{
    char custom[32];
    long magnitude = gmtoff < 0 ? -gmtoff : gmtoff;
    long h = magnitude / 3600, m = magnitude / 60 % 60, s = magnitude % 60;
    if (s != 0)
        snprintf(custom, sizeof custom, "GMT%c%02ld:%02ld:%02ld", gmtoff < 0 ? '-' : '+', h, m, s);
    else
        snprintf(custom, sizeof custom, "GMT%c%02ld:%02ld", gmtoff < 0 ? '-' : '+', h, m);
    return std::u16string(custom, custom + strlen(custom));
}

const UChar* uchars(const std::u16string& s)
{
    return reinterpret_cast<const UChar*>(s.data());
}

// What one thread keeps between its localized texts: opening a formatter costs about ten times
// as much as formatting with it. Locale and zone are read from the environment at each call and
// compared with what the cached objects were made for, so a change of LC_ALL, LC_TIME, LANG, TZ
// or of /etc/localtime's target counts at the next call. Closed when the thread ends.
class ThreadCache {
public:
    ThreadCache() = default;
    ThreadCache(const ThreadCache&) = delete;
    ThreadCache& operator=(const ThreadCache&) = delete;
    ~ThreadCache()
    {
        for (Formatter& f : formatters_)
            udat_close(f.format);
        if (zoneCalendar_ != nullptr)
            ucal_close(zoneCalendar_);
    }

    // The ICU locale ID of LC_ALL, LC_TIME or LANG, the first that is set.
    const std::string& locale()
    {
        const char* value = "";
        for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
            const char* v = getenv(name);
            if (v != nullptr && *v != '\0') {
                value = v;
                break;
            }
        }
        if (!localeKnown_ || localeSource_ != value) {
            localeSource_ = value;
            localeId_ = icuLocaleOf(localeSource_);
            localeKnown_ = true;
        }
        return localeId_;
    }

    // The zone ID to hand ICU for an instant whose UTC offset in the C library is gmtoff: the
    // process zone's ID when ICU knows it and agrees on the offset, else the fixed offset.
    const std::u16string& zoneFor(time_t instant, long gmtoff)
    {
        refreshZone();
        if (zoneCalendar_ != nullptr) {
            UErrorCode status = U_ZERO_ERROR;
            ucal_setMillis(zoneCalendar_, static_cast<UDate>(instant) * 1000.0, &status);
            int32_t zoneMs = ucal_get(zoneCalendar_, UCAL_ZONE_OFFSET, &status);
            int32_t dstMs = ucal_get(zoneCalendar_, UCAL_DST_OFFSET, &status);
            if (U_SUCCESS(status) && (static_cast<long>(zoneMs) + dstMs) / 1000 == gmtoff)
                return zoneId_;
        }
        fixedZone_ = customZone(gmtoff);
        return fixedZone_;
    }

    // An open formatter for the locale, zone and styles, or null when ICU refuses them.
    UDateFormat* formatter(const std::string& locale, const std::u16string& zone,
                           unsigned int dateStyle, unsigned int timeStyle)
    {
        for (size_t i = 0; i < formatters_.size(); ++i) {
            Formatter& f = formatters_[i];
            if (f.dateStyle == dateStyle && f.timeStyle == timeStyle && f.zone == zone &&
                f.locale == locale) {
                // Most recently used first: the search usually ends at once.
                std::rotate(formatters_.begin(), formatters_.begin() + i,
                            formatters_.begin() + i + 1);
                return formatters_.front().format;
            }
        }
        UDateFormat* format = open(locale, zone, dateStyle, timeStyle);
        if (format == nullptr)
            return nullptr;
        if (formatters_.size() == MAX_FORMATTERS) {
            udat_close(formatters_.back().format);
            formatters_.pop_back();
        }
        formatters_.insert(formatters_.begin(),
                           Formatter{locale, zone, dateStyle, timeStyle, format});
        return format;
    }

private:
    struct Formatter {
        std::string locale;
        std::u16string zone;
        unsigned int dateStyle, timeStyle;
        UDateFormat* format;
    };
    // Three style pairs in a few locales and zones; a thread that cycles through more opens
    // formatters again.
    static constexpr size_t MAX_FORMATTERS = 8;

    static UDateFormat* open(const std::string& locale, const std::u16string& zone,
                             unsigned int dateStyle, unsigned int timeStyle)
    {
        UErrorCode status = U_ZERO_ERROR;
        UDateFormat* format = udat_open(icuStyle(timeStyle), icuStyle(dateStyle), locale.c_str(),
                                        uchars(zone), static_cast<int32_t>(zone.size()), nullptr,
                                        0, &status);
        if (U_FAILURE(status))
            return nullptr;
        // ICU switches to the Julian calendar before 1582-10-15; our values are proleptic
        // Gregorian, so the change is moved before any date that can be shown.
        UCalendar* calendar = ucal_clone(udat_getCalendar(format), &status);
        if (U_SUCCESS(status)) {
            ucal_setGregorianChange(calendar, -DBL_MAX, &status);
            udat_setCalendar(format, calendar);
            ucal_close(calendar);
        }
        if (U_FAILURE(status)) {
            udat_close(format);
            return nullptr;
        }
        return format;
    }

    // Reads TZ, or /etc/localtime's target when TZ is not set, and when it differs from the last
    // reading asks ICU whether it knows the zone.
    void refreshZone()
    {
        const char* tz = getenv("TZ");
        bool fromTz = tz != nullptr;
        char link[PATH_MAX];
        if (!fromTz) {
            ssize_t n = readlink("/etc/localtime", link, sizeof link - 1);
            link[n > 0 ? n : 0] = '\0';
            tz = link;
        }
        if (zoneKnown_ && zoneFromTz_ == fromTz && zoneSource_ == tz)
            return;
        zoneKnown_ = true;
        zoneFromTz_ = fromTz;
        zoneSource_ = tz;
        zoneId_.clear();
        if (zoneCalendar_ != nullptr)
            ucal_close(zoneCalendar_);
        zoneCalendar_ = nullptr;

        std::string name = zoneNameOf(fromTz, zoneSource_);
        if (name.empty())
            return;
        std::u16string zone(name.begin(), name.end());
        UChar canonical[128];
        UBool isSystemID = false;
        UErrorCode status = U_ZERO_ERROR;
        ucal_getCanonicalTimeZoneID(uchars(zone), static_cast<int32_t>(zone.size()), canonical,
                                    128, &isSystemID, &status);
        if (U_FAILURE(status) || !isSystemID)
            return;
        zoneCalendar_ = ucal_open(uchars(zone), static_cast<int32_t>(zone.size()), "",
                                  UCAL_GREGORIAN, &status);
        if (U_FAILURE(status)) {
            zoneCalendar_ = nullptr;
            return;
        }
        zoneId_ = zone;
    }

    bool localeKnown_ = false;
    std::string localeSource_, localeId_;
    bool zoneKnown_ = false, zoneFromTz_ = false;
    std::string zoneSource_;
    std::u16string zoneId_, fixedZone_;
    UCalendar* zoneCalendar_ = nullptr;   // in zoneId_, for ICU's offsets; null when unknown
    std::vector<Formatter> formatters_;   // most recently used first
};

ThreadCache& threadCache()
{
    thread_local ThreadCache cache;
    return cache;
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
    time_t seconds = static_cast<time_t>(sinceEpoch.GetTotalSeconds());
    XpLocalAutoreleasePool pool;

    // The caller's conversion to UTC ran tzset a moment ago (mktime does), so localtime_r sees the
    // current TZ.
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr)
        return XpStringT<char>();
    ThreadCache& cache = threadCache();
    const std::string& locale = cache.locale();
    UDateFormat* format =
        cache.formatter(locale, cache.zoneFor(seconds, local.tm_gmtoff), dateStyle, timeStyle);
    if (format == nullptr)
        return XpStringT<char>();

    UChar text[256];
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = udat_format(format, static_cast<UDate>(seconds) * 1000.0, text, 256, nullptr,
                                 &status);
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

XpDateTime _XpDateTimeSub::ConvertLocalTimeToUTC(XpDateTime const& t)
{
    struct tm fields;
    time_t instant;
    struct tm utc;
    if (!fieldsOf(t, fields) || !instantOfLocal(fields, instant) || gmtime_r(&instant, &utc) == nullptr)
        return XpDateTime();
    return fromFields(utc);
}

XpDateTime _XpDateTimeSub::ConvertUTCToLocalTime(XpDateTime const& t)
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

XpStringT<char> _XpDateTimeSub::GetLocalizedDateTimeString(XpDateTime const& t)
{
    return xpStringFromDateWithFormatsByUTC(ConvertLocalTimeToUTC(t), STYLE_MEDIUM, STYLE_MEDIUM);
}

XpStringT<char> _XpDateTimeSub::GetLocalizedDateString(XpDateTime const& t, bool shortStyle)
{
    return xpStringFromDateWithFormatsByUTC(ConvertLocalTimeToUTC(t),
                                            shortStyle ? STYLE_SHORT : STYLE_LONG, STYLE_NONE);
}

XpStringT<char> _XpDateTimeSub::GetLocalizedTimeString(XpDateTime const& t)
{
    return xpStringFromDateWithFormatsByUTC(ConvertLocalTimeToUTC(t), STYLE_NONE, STYLE_LONG);
}

bool _XpTimeTToLocalTime(time_t t, std::tm* local)
{
    // localtime_r need not look at TZ again; tzset makes a change of zone count at once.
    tzset();
    return localtime_r(&t, local) != nullptr;
}
