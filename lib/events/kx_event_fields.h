// The header lines of an event file, in file order: one table used by the
// writer and the reader.
#pragma once

#include "kxevent.h"

namespace kxevent {

struct HeaderLine {
    const char* name;               // the line name before the colon
    char* KX_EVENT_HDR::*field;     // the header field it carries
    int duplicate_error;            // raised by the reader for a second line
    bool required;                  // the reader insists on it
};

inline constexpr HeaderLine kHeaderLines[] = {
    {"QZT_EVENT_ID", &KX_EVENT_HDR::event_qzt_id, KXEV_EDUP_ID, true},
    {"QZT_EVENT_SEQUENCE", &KX_EVENT_HDR::event_sequence, KXEV_EDUP_SEQUENCE, false},
    {"KX_VERSION", &KX_EVENT_HDR::event_kx_version, KXEV_EDUP_KX_VERSION, true},
    {"ASCII_DATE", &KX_EVENT_HDR::event_date, KXEV_EDUP_DATE, true},
    {"SYSTEM_UPTIME", &KX_EVENT_HDR::event_uptime, KXEV_EDUP_UPTIME, false},
    {"EVENT_TYPE", &KX_EVENT_HDR::event_type, KXEV_EDUP_TYPE, true},
    {"EVENT_SUBTYPE", &KX_EVENT_HDR::event_subtype, KXEV_EDUP_SUBTYPE, true},
    {"EVENT_VERSION", &KX_EVENT_HDR::event_version, KXEV_EDUP_VERSION, true},
    {"EVENT_CODE", &KX_EVENT_HDR::event_code, KXEV_EDUP_CODE, true},
    {"COLLECTOR_NAME", &KX_EVENT_HDR::event_collector, KXEV_EDUP_COLLECTOR, true},
    {"SYSTEM_SERIAL_NUMBER", &KX_EVENT_HDR::event_sys_serial, KXEV_EDUP_SERIAL, true},
    {"SYSTEM_NAME", &KX_EVENT_HDR::event_sys_name, KXEV_EDUP_SYS_NAME, true},
    {"DESCRIPTION", &KX_EVENT_HDR::event_description, KXEV_EDUP_DESCRIPTION, true},
};

inline constexpr const char* kDataControlLine = "DATA_CONTROL";
inline constexpr const char* kDataStartLine = "KX_DATA_START";
inline constexpr const char* kSequenceLine = "QZT_EVENT_SEQUENCE";

}  // namespace kxevent
