// Runs of config_upgrade that each merge one small previous file into one
// small new file and compare the whole result and everything printed.
// Each section of a run's files exercises one case of the merge.
#include <gtest/gtest.h>

#include <string>

#include "kx_test_support.h"

namespace {

using namespace kxtest;

// An installation whose syntax checker accepts everything: these runs are
// about the merge. The result always lands in "out" (-o), also when the run
// fails, so that a failed merge can be compared too.
class MergeRun {
public:
    MergeRun() {
        write_file(tree_.file("bin/config_check"), "#!/bin/sh\nexit 0\n", 0755);
        tree_.write_main_config("[log_files]\n(system)\nlog_file = " + tree_.path() + "/log\n");
        for (const char* syntax : {"syntax/cfg.syn", "v4.0.1/custom/syntax/cfg.syn"})
            write_file(tree_.file(std::string("qzt/etc/") + syntax), "");
    }

    void run(const std::string& rules, const std::string& new_text, const std::string& prev_text) {
        const std::string etc = tree_.config_dir();
        write_file(tree_.file("qzt/etc/cfg"), new_text);
        write_file(tree_.file("qzt/etc/upgrade/cfg.upg"), rules);
        write_file(tree_.file("qzt/etc/v4.0.1/custom/cfg"), prev_text);
        RunResult r = run_program({program_path("config_upgrade"), "-c", "cfg", "-v", "v5.0.0", "-V",
                                   "v4.0.1", "-o", etc + "out"},
                                  {{"PATH", tree_.path() + "/bin:/usr/bin:/bin"}}, etc);
        status = r.status;
        err = r.err;
        for (size_t at; (at = err.find(tree_.path())) != std::string::npos;)
            err.replace(at, tree_.path().size(), "ROOT");
        result = read_file(etc + "out");
        log = path_exists(tree_.path() + "/log") ? read_file(tree_.path() + "/log") : "";
    }

    int status = -1;
    std::string err, result, log;

private:
    TempTree tree_;
};

const char* const kSavedWithErrors =
    "EXIT: Kestrix Configuration File Upgrade FAILED\n"
    "  Modifications to New configuration file were saved with errors\n"
    "  Running Kestrix with this configuration file may have erroneous results\n"
    "  Output Config File: ROOT/qzt/etc/out\n\n";

std::string with_exit(const std::string& reports) { return reports + kSavedWithErrors; }

TEST(EngineMerge, KeywordDecisionTable) {
    MergeRun run;
    run.run(R"([factory]
port
_upgrade = factory
[delete]
port
_upgrade = delete
[same]
port
_upgrade = custom
[multiple]
host
_upgrade = custom multiple
[added]
timeout
_upgrade = custom
flag
_upgrade = custom
[replaced]
port
_upgrade = custom
[faulty]
port
_upgrade = set
missing
_upgrade = multiple
[units]
..
_upgrade = custom
_units = MB
[xfer]
job
_upgrade = custom xfer_event
size
_upgrade = custom xfer_event
_units = MB
[xfer_multiple]
job
_upgrade = custom multiple xfer_event
[renamed]
old_name
_upgrade = custom
_rename = new_name
)",
            R"([factory]
port = 10
[delete]
port = 10
[same]
port = 10
[multiple]
host = a
# hosts end here
[added]
port = 10
# last line of the list
[replaced]
port = 10
port = 11
[faulty]
port = 10
[units]
a = 1
b = 1
c = 1
d = 1
e = 1
[xfer]
job = cleanup
event_code = 3021
size = 1
[xfer_multiple]
job = cleanup
event_code = 3021
[renamed]
new_name = 1
)",
            R"([factory]
port = 20
[delete]
port = 20
[same]
port = 10
[multiple]
host = b
host = a
host = c
[added]
timeout = 5
flag
[replaced]
port = 20
[faulty]
missing = 1
port = 20
[units]
a = 10
b = 10MB
c = 10 mb
d = 1.5
e = big
[xfer]
job = purge ! 3050
size = 10 ! 42
[xfer_multiple]
job = cleanup ! 3021
job = purge	!	3050
job = plain
[renamed]
old_name = 2
)");
    EXPECT_EQ(run.result, R"([factory]
port = 10
[delete]
port = 10
[same]
port = 10
[multiple]
host = a
host = b
host = c
# hosts end here
[added]
port = 10
timeout = 5
flag
# last line of the list
[replaced]
port = 10
port = 20
[faulty]
port = 20
[units]
a = 10 MB
b = 10MB
c = 10 mb
d = 1.5
e = big
[xfer]
job = purge
event_code = 3050
size = 10 MB
event_code = 42
[xfer_multiple]
job = cleanup
event_code = 3021
job = purge
event_code = 3050
job = plain
[renamed]
new_name = 2
)");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, with_exit(R"(ERROR: Must specify one of the following rules: "factory" "custom" "delete"
  Upgrade Rules File: ROOT/qzt/etc/upgrade/cfg.upg
  Section:     faulty
  Keyword:     port

ERROR: Must specify one of the following rules: "factory" "custom" "delete"
  Upgrade Rules File: ROOT/qzt/etc/upgrade/cfg.upg
  Section:     faulty
  Keyword:     missing

WARNING: Invalid format for keyword value with units
Unable to Upgrade units = 'MB'
  Previous Config File: ROOT/qzt/etc/v4.0.1/custom/cfg
  Section:     units
  Keyword:     d
  Value:       1.5
  Instance:    1

WARNING: Expected a digit as the first char in keyword value with units
Unable to upgrade units = 'MB'
  Previous Config File: ROOT/qzt/etc/v4.0.1/custom/cfg
  Section:     units
  Keyword:     e
  Value:       big
  Instance:    1

)"));
    EXPECT_NE(run.log.find("upgrade_keyword: Upgrade rule = factory"), std::string::npos);
    EXPECT_NE(run.log.find("upgrade_keyword: Deleting keyword in Previous config file"), std::string::npos);
    EXPECT_EQ(run.log.find("Section:     same"), std::string::npos) << "an unchanged keyword is not logged";
}

TEST(EngineMerge, KeywordSets) {
    MergeRun run;
    run.run(R"([sets]
(..)
name
_upgrade = custom start
member
_upgrade = custom set
extra
_upgrade = custom set
other
_upgrade = custom
after
_upgrade = custom
stray
_upgrade = custom
(factory_start)
fname
_upgrade = factory start
member
_upgrade = custom set
(delete_start)
dname
_upgrade = delete start
member
_upgrade = custom set
(no_action)
nname
_upgrade = start
member
_upgrade = custom set
)",
            R"([sets]
(found)
name = a
member = 1
name = b
member = 1
other = x
(missing_member)
name = a
member = 1
after = x
(added)
other = x
# end of the list
(factory_start)
member = 1
(delete_start)
member = 1
(no_action)
member = 1
(outside)
member = 1
)",
            R"([sets]
(found)
name = a
member = 1
name = b
member = 2
(missing_member)
name = a
member = 1
extra = 5
after = x
(added)
name = c
member = 3
extra = 4
stray = 1
(factory_start)
fname = z
member = 2
(delete_start)
dname = z
member = 2
(no_action)
nname = z
member = 2
(outside)
member = 9
)");
    EXPECT_EQ(run.result, R"([sets]
(found)
name = a
member = 1
name = b
member = 2
other = x
(missing_member)
name = a
member = 1
extra = 5
after = x
(added)
other = x
name = c
member = 3
extra = 4
stray = 1
# end of the list
(factory_start)
member = 1
(delete_start)
member = 1
(no_action)
member = 1
(outside)
member = 9
)");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, with_exit(R"(ERROR: First keyword in set in Previous Config file has no match
  in New Config file, but has Upgrade Rule = factory
  Skipping the set that starts with this keyword

  Previous Config File: ROOT/qzt/etc/v4.0.1/custom/cfg
  Section:     sets
  Subsection:  factory_start
  Keyword:     fname
  Value:       z

ERROR: Must specify one of the following rules: "factory" "custom" "delete"
  Upgrade Rules File: ROOT/qzt/etc/upgrade/cfg.upg
  Section:     sets
  Subsection:  no_action
  Keyword:     nname

WARNING: First keyword in set in Previous Config file has no match
  in New Config file, and its Upgrade Rule has none of factory, custom, delete
  Skipping the set that starts with this keyword

  Previous Config File: ROOT/qzt/etc/v4.0.1/custom/cfg
  Section:     sets
  Subsection:  no_action
  Keyword:     nname
  Value:       z

)"));
}

TEST(EngineMerge, SectionsAndSubsections) {
    MergeRun run;
    run.run(R"([custom_both]
_upgrade = custom
k
_upgrade = custom
[factory_gone]
_upgrade = factory
[delete_gone]
_upgrade = delete
[no_word]
k
_upgrade = custom
(sub_no_word)
k
_upgrade = custom
(sub_factory)
_upgrade = factory
(sub_delete)
_upgrade = delete
[pat..]
..
_upgrade = custom
(s..)
..
_upgrade = custom
[dup]
k
_upgrade = custom
[dup]
_upgrade = delete
[old_only]
_kx_version = v3.0.0
[sub_dups]
(x)
k
_upgrade = custom
(x)
_upgrade = delete
)",
            R"([custom_both]
k = 1
[no_rule_new]
k = 1
[dup]
k = 1
[sub_dups]
(x)
k = 1
)",
            R"([custom_both]
k = 2
[factory_gone]
k = 1
[delete_gone]
k = 1
[no_word]
k = 2
(sub_no_word)
k = 3
(sub_factory)
k = 4
(sub_delete)
k = 5
(sub_unknown)
k = 6
[pattern1]
k = 7
(sub1)
k = 8
[dup]
k = 2
[old_only]
k = 1
[unknown]
k = 1
[sub_dups]
(x)
k = 2
)");
    EXPECT_EQ(run.result, R"([custom_both]
k = 2
[no_rule_new]
k = 1
[dup]
k = 2
[sub_dups]
(x)
k = 2

[no_word]
k = 2

(sub_no_word)
k = 3

[pattern1]
k = 7

(sub1)
k = 8
)");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, with_exit(R"(ERROR: Duplicate section name - section names must be unique
Using the first instance
  Upgrade Rules File: ROOT/qzt/etc/upgrade/cfg.upg
  Section:     dup

ERROR: Section name in New Config File has no match in Upgrade Rules file
  Upgrade Rules File: ROOT/qzt/etc/upgrade/cfg.upg
  Section:     no_rule_new

ERROR: Subsection in the Previous Config file has no match in Upgrade Rules file
Subsection is not included in the New Config file
  Previous Config File: ROOT/qzt/etc/v4.0.1/custom/cfg
  Section:     no_word
  Subsection:  sub_unknown

ERROR: Section in the Previous Config File has no match in Upgrade Rules file
Section is not include in the New configuration file
  Previous Config File: ROOT/qzt/etc/v4.0.1/custom/cfg
  Section:     old_only

ERROR: Section in the Previous Config File has no match in Upgrade Rules file
Section is not include in the New configuration file
  Previous Config File: ROOT/qzt/etc/v4.0.1/custom/cfg
  Section:     unknown

ERROR: Duplicate subsection name - subsection names must be unique
Using the first instance
  Upgrade Rules File: ROOT/qzt/etc/upgrade/cfg.upg
  Section:     sub_dups
  Subsection:  x

)"));
    for (const char* entry : {"Using Factory values for entire section\n  Section in Previous config file is "
                              "replaced by section in New config file\n  Previous Config File",
                              "Deleting section in Previous config file\n  Previous Config File",
                              "Using Factory values for entire subsection", "Deleting subsection",
                              "Adding section in New config file", "Adding subsection in New config file"})
        EXPECT_NE(run.log.find(entry), std::string::npos) << entry;
}

}  // namespace
