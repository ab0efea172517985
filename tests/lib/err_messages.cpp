// The error texts as the suite documents them, number by number, and the
// numbers that must have no text.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kx_errno.h"

namespace {

struct Documented {
    int number;
    const char* text;
};

const Documented documented[] = {
    {1001, "Parameter error"},
    {1002, "Filename too long"},
    {1003, "Configuration file not found"},
    {1004, "Invalid size of config file"},
    {1005, "Config file not open"},
    {1006, "Another process owns lock for writing"},
    {1007, "Line in config file too long"},
    {1008, "Invalid char(s) before section"},
    {1009, "Section has more than one start chars"},
    {1010, "Section has no end char"},
    {1011, "Invalid char(s) after section"},
    {1012, "Invalid section name size"},
    {1013, "Invalid character in section name"},
    {1014, "Found subsection before any section"},
    {1015, "Invalid char(s) before subsection"},
    {1016, "Subsection has more than one start chars"},
    {1017, "Subsection has no end char"},
    {1018, "Invalid char(s) after subsection"},
    {1019, "Invalid subsection name size"},
    {1020, "Invalid character in subsection name"},
    {1021, "Found keyword before any section"},
    {1022, "Invalid keyword string size"},
    {1023, "Invalid character in keyword"},
    {1024, "Invalid argument string size"},
    {1025, "Reached premature end of config file"},
    {1026, "Section not found"},
    {1027, "Subsection not found"},
    {1028, "Keyword not found"},
    {1029, "Invalid instance parameter"},
    {1030, "Null argument not allowed"},
    {1031, "Time value contained alpha characters"},
    {1032, "Time label was not s, m, h or d"},
    {1033, "Error on config file write "},
    {1034, "Size value contained alpha characters"},
    {1035, "Size label was not b, k, or m"},
    {2001, "Configuration section missing"},
    {2002, "Configuration keyword error"},
    {2003, "Configuration keyword value invalid"},
    {2004, "Configuration keyword missing value"},
    {2005, "Resulting message path name exceeds system max"},
    {2006, "No communication channel configured and active"},
    {2007, "Communication System is shutdown"},
    {2008, "Corrupted Communication Message Header Read"},
    {2009, "Invalid encryption format."},
    {2010, "Invalid compression format."},
    {2011, "Invalid armor format."},
    {2012, "Missing serial number for encryption."},
    {2013, "Incorrect encryption format."},
    {2014, "Unable to determine key file name."},
    {2015, "Missing key file."},
    {2016, "Key file corrupted."},
    {2017, "Error reading key file."},
    {2018, "Cannot find key for this serial number."},
    {2019, "Error reading data file during encryption."},
    {2020, "Out of memory during encryption."},
    {2021, "Data file corrupted. Cannot decrypt."},
    {2022, "Bad encryption format header string."},
    {2023, "File authentication failed during decrypt."},
    {2024, "Output file name exists.  Cannot overwrite"},
    {2025, "Unable to popen stream for data read."},
    {2026, "Unable to open file for data write."},
    {2027, "Unable to popen stream for data write."},
    {2028, "Unable to open file for data read."},
    {2029, "No unencrypted data read from file."},
    {2030, "No encrypted data read from file."},
    {2031, "Error writing data file during encryption."},
    {2032, "Decrypted file size was zero."},
    {2033, "Unable to determine sequence file name."},
    {2034, "Unable to create or access sequence file."},
    {3001, "Invalid parameter to event_buildname"},
    {3002, "Filename generated is too long"},
    {3003, "event_create already called"},
    {3004, "Invalid parameter to event_create"},
    {3005, "Creation of event file failed"},
    {3006, "event_create must be called before this"},
    {3007, "event_writehdr: KX_EVENT_REC members not filled"},
    {3008, "Error in Readline()"},
    {3009, "Reached unexpected end of file"},
    {3010, "Error in ltrim()"},
    {3011, "Error in rtrim()"},
    {3012, "Error in GetStringsFromLine()"},
    {3013, "Duplicate event_qzt_id in event file"},
    {3014, "Duplicate event_kx_version in event file"},
    {3015, "Duplicate event_date in event file"},
    {3016, "Duplicate event_type in event file"},
    {3017, "Duplicate event_subtype in event file"},
    {3018, "Duplicate event_version in event file"},
    {3019, "Duplicate event_code in event file"},
    {3020, "Duplicate event_collector in event file"},
    {3021, "Duplicate event_sys_serial in event file"},
    {3022, "Duplicate event_sys_name in event file"},
    {3023, "Duplicate event_description in event file"},
    {3024, "Duplicate event_data_control in event file"},
    {3025, "All the KX_EVENT_HDR members not found in event file"},
    {3026, "Data Control Field is not 0, 1, or 2"},
    {3027, "Data Control is 1 or 2 and a file name is not present"},
    {3028, "Stat failed for event file"},
    {3029, "Data String cannot be sent with data control = 1 or 2"},
    {3030, "Duplicate event_sequence in event file"},
    {3031, "Duplicate event_uptime in event file"},
    {4001, "Data Transfer state file format error"},
    {4002, "Data Transfer config file error - invalid trigger type"},
    {4003, "Data Transfer config file error - multiple trigger path entries"},
    {4004, "Data Transfer config file error - invalid time interval"},
    {4005, "Data Transfer config file error - no trigger type specified"},
    {4006, "Data Transfer config file error - no trigger path specified"},
    {4007, "Data Transfer config file error - no send events specified"},
    {4008, "Data Transfer config file error - no event code specified"},
    {4009, "Data Transfer event generator failed"},
    {4010, "Command failed - no output produced"},
    {4011, "Data Transfer event set is not active"},
    {4012, "DATA_XFER_OUTPUT section missing for this event"},
    {4013, "Data Transfer config file error - pathname format error"},
    {4014, "Data Transfer config file error - event code has no send event"},
    {4015, "Data Transfer program timed out"},
    {4016, "Data Transfer config file error - invalid value for active"},
    {4017, "Data Transfer config file error - invalid retry interval"},
    {4018, "Event ID in unexpected format"},
    {4019, "Data Transfer config file error - unknown keyword"},
    {4020, "Data Transfer config file error - no send events allowed for ktlog"},
    {4021, "Admin/Install Event -- cannot process Brannock Notify field"},
    {4022, "WQP EVENT ID is not in valid format -- wqp_event_yymmdd_hhmmss"},
    {4023, "Invalid utmp file not a multiple of the utmp structure."},
    {4024, "Data Transfer config file error - event subtype needed"},
    {4025, "Unable to open the Kestrix main configuration file."},
    {4026, "The Kestrix config file does not contain keyfile keyword."},
    {4027, "The Kestrix config file did not specify the kefile."},
    {4028, "Program ran out of memory during operation."},
    {4029, "Unable to obtain lock on keyfile."},
    {4030, "The keyfile does not exist."},
    {4031, "System serial number not found in keyfile."},
    {4032, "Unable to open keyfile."},
    {4033, "Key change is not allowed for this system serial number."},
    {4034, "Keyfile update failed."},
    {4035, "Unable to change existing encryption method."},
    {4036, "Unable to use the specified encryption method."},
    {4037, "Encryption method not present in event file."},
    {4038, "Key data is not in the correct (expected) format."},
    {4039, "Key data is not the correct (expected) length."},
    {4040, "Unidentified token found in kxidf file"},
    {4041, "KXIDF token=<value> line, not in expected format"},
    {4042, "Object type does not match know values"},
    {4043, "Node cannot be found in the kx_nodes table"},
    {4044, "KXIDF file does not contain a NODE entry"},
    {4045, "Device in route file cannot be found in the object file"},
    {4046, "Device number is not in expectd format: ccc###"},
    {4047, "A KXIDF device cannot be mapped to Kestrix tables"},
    {4048, "KXIDF object file is corrupted"},
    {4049, "Number of tokens/line in object file has been reached"},
    {4050, "Cannot delete the kxidf/event number directory, invalid format"},
    {4051, "Valid event type cannot be found in the KX_EVENT_TYPES table"},
    {4052, "System configuration state file format error"},
    {4053, "Write to System configuration state file failed"},
    {4054, "Write to data transfer config file failed"},
    {4055, "Valid node id cannot be found in the KX_NODES table"},
    {4056, "Duplicate encryption key received."},
    {5001, "System serial number not found in the configuration file."},
    {5002, "The system serial number has not yet been set for this system."},
    {5003, "The configuration file does not contain a scheduler section."},
    {5004, "Command list file not listed in scheduler section of config file."},
    {5005, "Scheduler command pipe not listed in scheduler section of config file."},
    {5006, "Scheduler command list named in scheduler section was not found."},
    {5007, "Scheduler encountered an error processing a command in the command list file."},
    {5008, "An internal error was encountered in the Kestrix sheduler."},
    {5009, "The scheduler cannot fork another process."},
    {5010, "The scheduler encountered an error in the internal event structure."},
    {5011, "The scheduler encountered an error managing child process data."},
    {5012, "The scheduler was unable to issue an fcntl command on a file."},
    {5013, "An error occurred attempting to open scheduler configuration file."},
    {5014, "The Kestrix scheduler program could not obtain memory."},
    {5015, "Scheduler state file name not found in scheduler section of config file."},
    {5016, "The configuration file is missing the system admin entry."},
    {5017, "The system admin entry is not set in the configuration file"},
    {5018, "The configuration file is missing the version entry."},
    {5019, "The version entry is not set in the configuration file."},
    {5020, "The configuration file is missing the system name entry."},
    {5021, "The system name is not set in the configuration file."},
    {5022, "Time update of availability file failed."},
    {5023, "Create of availability file failed."},
    {5024, "Availability file update frequency incorrect."},
    {5025, "Scheduler set command set inactive."},
    {8001, "Kestrix space usage has exceeded the shutdown level"},
    {8002, "Kestrix space usage has exceeded the warning level"},
    {8003, "Input path does not point to a directory"},
    {8004, "Keywords encountered out of order"},
    {8005, "Kestrix Purge did not complete successfully"},
    {8006, "Missing directories to purge in the config file"},
    {8007, "Purge Directory does not exist"},
    {8008, "Purge Directory path does not specify a directory"},
    {8009, "Requested days is less than the minimum number or purge days"},
    {8010, "kx_event_dispatcher could not interpret incoming event"},
    {8011, "Data overflows defined data type"},
    {8012, "Invalid input argument"},
    {8013, "Unknown keyword"},
    {8014, "Missing keyword"},
    {9001, "dbg_open already called"},
    {9002, "dbg_open: Null parameter"},
    {9003, "dbg_open: Empty parameter"},
    {9004, "dbg_open: Invalid parameter"},
    {9005, "dbg_open: Null debug-dir name"},
    {9006, "dbg_open: debug-dir does not exist"},
    {9007, "dbg_open: not a directory"},
    {9008, "dbg_open: cannot write to debug-dir"},
    {9009, "dbg_close called before dbg_open"},
    {9010, "kx_dbg called before dbg_open"},
    {9011, "kx_dbg_cont called before dbg_open"},
    {9012, "dbg_flush: flushing not needed"},
    {9013, "dbg_ctrl: Invalid parameter"},
};

const char* const kEnd = "<END> THIS MUST BE FINAL LINE OF LIST";

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

Text message(int number) { return Text(kx_errmsg(number)); }

std::string text_or_null(int number) {
    Text t = message(number);
    return t ? std::string(t.get()) : std::string("(null)");
}

TEST(ErrMessages, EveryDocumentedTextMatchesByteForByte) {
    for (const Documented& d : documented)
        EXPECT_EQ(text_or_null(d.number), d.text) << "number " << d.number;
    EXPECT_EQ(text_or_null(1033), "Error on config file write ");
    EXPECT_EQ(text_or_null(1001), "Parameter error");
    EXPECT_EQ(text_or_null(1035), "Size label was not b, k, or m");
}

TEST(ErrMessages, EachListEndsWithItsEndLineAndNothingAfter) {
    // Base, number of the end line: the documented lists leave no gap
    // between their last message and the end line.
    const int bases[] = {1000, 2000, 3000, 4000, 5000, 8000, 9000};
    for (int base : bases) {
        int last = base;
        for (const Documented& d : documented)
            if (d.number / 1000 * 1000 == base) last = d.number;
        ASSERT_GT(last, base);
        EXPECT_EQ(text_or_null(last + 1), kEnd) << "list " << base;
        EXPECT_EQ(message(last + 2), nullptr) << "list " << base;
        EXPECT_EQ(message(base), nullptr) << "base " << base << " must not give \"No error\"";
    }
    EXPECT_EQ(text_or_null(1036), kEnd);
    EXPECT_EQ(message(1037), nullptr);
    EXPECT_EQ(text_or_null(9014), kEnd);
}

TEST(ErrMessages, NumbersOutsideEveryListGiveNull) {
    for (int n : {0, -1, -1000, 1000, 6000, 6001, 7500, 9015, 10000, 10001, 999})
        EXPECT_EQ(message(n), nullptr) << "number " << n;
}

TEST(ErrMessages, SystemNumbersTakeThePlatformTexts) {
    EXPECT_EQ(text_or_null(2), std::string(std::strerror(2)));
    EXPECT_EQ(text_or_null(13), std::string(std::strerror(13)));
    // A hole in the platform's numbering is an unknown number, not a
    // made-up "Unknown error" text.
    for (int n = 1; n < 1000; ++n) {
        Text t = message(n);
        if (!t) continue;
        EXPECT_EQ(std::string(t.get()), std::strerror(n)) << n;
        EXPECT_EQ(std::string(t.get()).rfind("Unknown error", 0), std::string::npos) << n;
    }
}

TEST(ErrMessages, EveryCallReturnsAFreshCallerOwnedCopy) {
    Text a = message(1003);
    Text b = message(1003);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_STREQ(a.get(), b.get());
    a.get()[0] = 'X';  // the caller's copy is its own to change
    EXPECT_EQ(text_or_null(1003), "Configuration file not found");
    kx_errno = 4242;
    message(1001);
    message(-5);
    EXPECT_EQ(kx_errno, 4242);
}

}  // namespace
