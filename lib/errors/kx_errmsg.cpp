// Error numbers of the suite and their texts.
//
// Each library area owns a block of a thousand numbers; its texts form one
// list whose entry 0 is "No error" (the block's base, never returned) and
// whose last entry is the end line. New messages go in front of the end line.

#include "kx_errno.h"

#include <cstdlib>
#include <cstring>
#include <string.h>

int kx_errno = 0;

namespace {

constexpr const char* kNoError = "No error";
constexpr const char* kEndLine = "<END> THIS MUST BE FINAL LINE OF LIST";

const char* const config_file_messages[] = {
    kNoError,
    "Parameter error",  // 1001
    "Filename too long",  // 1002
    "Configuration file not found",  // 1003
    "Invalid size of config file",  // 1004
    "Config file not open",  // 1005
    "Another process owns lock for writing",  // 1006
    "Line in config file too long",  // 1007
    "Invalid char(s) before section",  // 1008
    "Section has more than one start chars",  // 1009
    "Section has no end char",  // 1010
    "Invalid char(s) after section",  // 1011
    "Invalid section name size",  // 1012
    "Invalid character in section name",  // 1013
    "Found subsection before any section",  // 1014
    "Invalid char(s) before subsection",  // 1015
    "Subsection has more than one start chars",  // 1016
    "Subsection has no end char",  // 1017
    "Invalid char(s) after subsection",  // 1018
    "Invalid subsection name size",  // 1019
    "Invalid character in subsection name",  // 1020
    "Found keyword before any section",  // 1021
    "Invalid keyword string size",  // 1022
    "Invalid character in keyword",  // 1023
    "Invalid argument string size",  // 1024
    "Reached premature end of config file",  // 1025
    "Section not found",  // 1026
    "Subsection not found",  // 1027
    "Keyword not found",  // 1028
    "Invalid instance parameter",  // 1029
    "Null argument not allowed",  // 1030
    "Time value contained alpha characters",  // 1031
    "Time label was not s, m, h or d",  // 1032
    "Error on config file write ",  // 1033
    "Size value contained alpha characters",  // 1034
    "Size label was not b, k, or m",  // 1035
    "Config file has other hard links",  // 1036
    "Config file is not a regular file",  // 1037
    kEndLine,
};

const char* const comm_messages[] = {
    kNoError,
    "Configuration section missing",  // 2001
    "Configuration keyword error",  // 2002
    "Configuration keyword value invalid",  // 2003
    "Configuration keyword missing value",  // 2004
    "Resulting message path name exceeds system max",  // 2005
    "No communication channel configured and active",  // 2006
    "Communication System is shutdown",  // 2007
    "Corrupted Communication Message Header Read",  // 2008
    "Invalid encryption format.",  // 2009
    "Invalid compression format.",  // 2010
    "Invalid armor format.",  // 2011
    "Missing serial number for encryption.",  // 2012
    "Incorrect encryption format.",  // 2013
    "Unable to determine key file name.",  // 2014
    "Missing key file.",  // 2015
    "Key file corrupted.",  // 2016
    "Error reading key file.",  // 2017
    "Cannot find key for this serial number.",  // 2018
    "Error reading data file during encryption.",  // 2019
    "Out of memory during encryption.",  // 2020
    "Data file corrupted. Cannot decrypt.",  // 2021
    "Bad encryption format header string.",  // 2022
    "File authentication failed during decrypt.",  // 2023
    "Output file name exists.  Cannot overwrite",  // 2024
    "Unable to popen stream for data read.",  // 2025
    "Unable to open file for data write.",  // 2026
    "Unable to popen stream for data write.",  // 2027
    "Unable to open file for data read.",  // 2028
    "No unencrypted data read from file.",  // 2029
    "No encrypted data read from file.",  // 2030
    "Error writing data file during encryption.",  // 2031
    "Decrypted file size was zero.",  // 2032
    "Unable to determine sequence file name.",  // 2033
    "Unable to create or access sequence file.",  // 2034
    kEndLine,
};

const char* const event_messages[] = {
    kNoError,
    "Invalid parameter to event_buildname",  // 3001
    "Filename generated is too long",  // 3002
    "event_create already called",  // 3003
    "Invalid parameter to event_create",  // 3004
    "Creation of event file failed",  // 3005
    "event_create must be called before this",  // 3006
    "event_writehdr: KX_EVENT_REC members not filled",  // 3007
    "Error in Readline()",  // 3008
    "Reached unexpected end of file",  // 3009
    "Error in ltrim()",  // 3010
    "Error in rtrim()",  // 3011
    "Error in GetStringsFromLine()",  // 3012
    "Duplicate event_qzt_id in event file",  // 3013
    "Duplicate event_kx_version in event file",  // 3014
    "Duplicate event_date in event file",  // 3015
    "Duplicate event_type in event file",  // 3016
    "Duplicate event_subtype in event file",  // 3017
    "Duplicate event_version in event file",  // 3018
    "Duplicate event_code in event file",  // 3019
    "Duplicate event_collector in event file",  // 3020
    "Duplicate event_sys_serial in event file",  // 3021
    "Duplicate event_sys_name in event file",  // 3022
    "Duplicate event_description in event file",  // 3023
    "Duplicate event_data_control in event file",  // 3024
    "All the KX_EVENT_HDR members not found in event file",  // 3025
    "Data Control Field is not 0, 1, or 2",  // 3026
    "Data Control is 1 or 2 and a file name is not present",  // 3027
    "Stat failed for event file",  // 3028
    "Data String cannot be sent with data control = 1 or 2",  // 3029
    "Duplicate event_sequence in event file",  // 3030
    "Duplicate event_uptime in event file",  // 3031
    kEndLine,
};

const char* const transfer_messages[] = {
    kNoError,
    "Data Transfer state file format error",  // 4001
    "Data Transfer config file error - invalid trigger type",  // 4002
    "Data Transfer config file error - multiple trigger path entries",  // 4003
    "Data Transfer config file error - invalid time interval",  // 4004
    "Data Transfer config file error - no trigger type specified",  // 4005
    "Data Transfer config file error - no trigger path specified",  // 4006
    "Data Transfer config file error - no send events specified",  // 4007
    "Data Transfer config file error - no event code specified",  // 4008
    "Data Transfer event generator failed",  // 4009
    "Command failed - no output produced",  // 4010
    "Data Transfer event set is not active",  // 4011
    "DATA_XFER_OUTPUT section missing for this event",  // 4012
    "Data Transfer config file error - pathname format error",  // 4013
    "Data Transfer config file error - event code has no send event",  // 4014
    "Data Transfer program timed out",  // 4015
    "Data Transfer config file error - invalid value for active",  // 4016
    "Data Transfer config file error - invalid retry interval",  // 4017
    "Event ID in unexpected format",  // 4018
    "Data Transfer config file error - unknown keyword",  // 4019
    "Data Transfer config file error - no send events allowed for ktlog",  // 4020
    "Admin/Install Event -- cannot process Brannock Notify field",  // 4021
    "WQP EVENT ID is not in valid format -- wqp_event_yymmdd_hhmmss",  // 4022
    "Invalid utmp file not a multiple of the utmp structure.",  // 4023
    "Data Transfer config file error - event subtype needed",  // 4024
    "Unable to open the Kestrix main configuration file.",  // 4025
    "The Kestrix config file does not contain keyfile keyword.",  // 4026
    "The Kestrix config file did not specify the kefile.",  // 4027
    "Program ran out of memory during operation.",  // 4028
    "Unable to obtain lock on keyfile.",  // 4029
    "The keyfile does not exist.",  // 4030
    "System serial number not found in keyfile.",  // 4031
    "Unable to open keyfile.",  // 4032
    "Key change is not allowed for this system serial number.",  // 4033
    "Keyfile update failed.",  // 4034
    "Unable to change existing encryption method.",  // 4035
    "Unable to use the specified encryption method.",  // 4036
    "Encryption method not present in event file.",  // 4037
    "Key data is not in the correct (expected) format.",  // 4038
    "Key data is not the correct (expected) length.",  // 4039
    "Unidentified token found in kxidf file",  // 4040
    "KXIDF token=<value> line, not in expected format",  // 4041
    "Object type does not match know values",  // 4042
    "Node cannot be found in the kx_nodes table",  // 4043
    "KXIDF file does not contain a NODE entry",  // 4044
    "Device in route file cannot be found in the object file",  // 4045
    "Device number is not in expectd format: ccc###",  // 4046
    "A KXIDF device cannot be mapped to Kestrix tables",  // 4047
    "KXIDF object file is corrupted",  // 4048
    "Number of tokens/line in object file has been reached",  // 4049
    "Cannot delete the kxidf/event number directory, invalid format",  // 4050
    "Valid event type cannot be found in the KX_EVENT_TYPES table",  // 4051
    "System configuration state file format error",  // 4052
    "Write to System configuration state file failed",  // 4053
    "Write to data transfer config file failed",  // 4054
    "Valid node id cannot be found in the KX_NODES table",  // 4055
    "Duplicate encryption key received.",  // 4056
    kEndLine,
};

const char* const scheduler_messages[] = {
    kNoError,
    "System serial number not found in the configuration file.",  // 5001
    "The system serial number has not yet been set for this system.",  // 5002
    "The configuration file does not contain a scheduler section.",  // 5003
    "Command list file not listed in scheduler section of config file.",  // 5004
    "Scheduler command pipe not listed in scheduler section of config file.",  // 5005
    "Scheduler command list named in scheduler section was not found.",  // 5006
    "Scheduler encountered an error processing a command in the command list file.",  // 5007
    "An internal error was encountered in the Kestrix sheduler.",  // 5008
    "The scheduler cannot fork another process.",  // 5009
    "The scheduler encountered an error in the internal event structure.",  // 5010
    "The scheduler encountered an error managing child process data.",  // 5011
    "The scheduler was unable to issue an fcntl command on a file.",  // 5012
    "An error occurred attempting to open scheduler configuration file.",  // 5013
    "The Kestrix scheduler program could not obtain memory.",  // 5014
    "Scheduler state file name not found in scheduler section of config file.",  // 5015
    "The configuration file is missing the system admin entry.",  // 5016
    "The system admin entry is not set in the configuration file",  // 5017
    "The configuration file is missing the version entry.",  // 5018
    "The version entry is not set in the configuration file.",  // 5019
    "The configuration file is missing the system name entry.",  // 5020
    "The system name is not set in the configuration file.",  // 5021
    "Time update of availability file failed.",  // 5022
    "Create of availability file failed.",  // 5023
    "Availability file update frequency incorrect.",  // 5024
    "Scheduler set command set inactive.",  // 5025
    kEndLine,
};

const char* const utility_messages[] = {
    kNoError,
    "Kestrix space usage has exceeded the shutdown level",  // 8001
    "Kestrix space usage has exceeded the warning level",  // 8002
    "Input path does not point to a directory",  // 8003
    "Keywords encountered out of order",  // 8004
    "Kestrix Purge did not complete successfully",  // 8005
    "Missing directories to purge in the config file",  // 8006
    "Purge Directory does not exist",  // 8007
    "Purge Directory path does not specify a directory",  // 8008
    "Requested days is less than the minimum number or purge days",  // 8009
    "kx_event_dispatcher could not interpret incoming event",  // 8010
    "Data overflows defined data type",  // 8011
    "Invalid input argument",  // 8012
    "Unknown keyword",  // 8013
    "Missing keyword",  // 8014
    kEndLine,
};

const char* const debug_messages[] = {
    kNoError,
    "dbg_open already called",  // 9001
    "dbg_open: Null parameter",  // 9002
    "dbg_open: Empty parameter",  // 9003
    "dbg_open: Invalid parameter",  // 9004
    "dbg_open: Null debug-dir name",  // 9005
    "dbg_open: debug-dir does not exist",  // 9006
    "dbg_open: not a directory",  // 9007
    "dbg_open: cannot write to debug-dir",  // 9008
    "dbg_close called before dbg_open",  // 9009
    "kx_dbg called before dbg_open",  // 9010
    "kx_dbg_cont called before dbg_open",  // 9011
    "dbg_flush: flushing not needed",  // 9012
    "dbg_ctrl: Invalid parameter",  // 9013
    kEndLine,
};

struct MessageList {
    int base;
    const char* const* texts;
    int count;  // every entry, "No error" and the end line included
};

template <std::size_t N>
constexpr MessageList make_list(int base, const char* const (&texts)[N]) {
    return MessageList{base, texts, static_cast<int>(N)};
}

// Searched in this order; a number belongs to the first list that takes it.
const MessageList message_lists[] = {
    make_list(1000, config_file_messages), make_list(2000, comm_messages),
    make_list(3000, event_messages),       make_list(4000, transfer_messages),
    make_list(5000, scheduler_messages),   make_list(8000, utility_messages),
    make_list(9000, debug_messages),
};

constexpr int kSystemLimit = 1000;

// The platform knows a text for an errno value when it can name it; the
// count of system messages is one past the highest value it names below
// the first list's base. Values it leaves unnamed inside that range (holes
// in the errno numbering) are unknown numbers as well.
int system_message_count() {
    static const int count = [] {
        int highest = 0;
        for (int n = 1; n < kSystemLimit; ++n)
            if (strerrordesc_np(n) != nullptr) highest = n;
        return highest + 1;
    }();
    return count;
}

const char* system_message(int number) {
    if (number < 1 || number >= system_message_count()) return nullptr;
    if (strerrordesc_np(number) == nullptr) return nullptr;
    return strerror(number);
}

const char* list_message(int number) {
    for (const MessageList& list : message_lists)
        if (number > list.base && number < list.base + list.count)
            return list.texts[number - list.base];
    return nullptr;
}

char* copy_text(const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::calloc(size, 1));
    if (copy != nullptr) std::memcpy(copy, text, size - 1);
    return copy;
}

}  // namespace

extern "C" char* kx_errmsg(int error_number) {
    const char* text = system_message(error_number);
    if (text == nullptr) text = list_message(error_number);
    return text == nullptr ? nullptr : copy_text(text);
}
