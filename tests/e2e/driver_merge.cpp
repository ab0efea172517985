// Runs of config_upgrade that merge a previous configuration file: the
// result in place, and errors counted during the merge up to the limit.
#include <gtest/gtest.h>

#include "driver_tree.h"

using drvtest::has;
using drvtest::Install;
using drvtest::put;
using kxtest::path_exists;

namespace {

TEST(DriverMerge, CustomValueIsCarriedIntoTheNewFile) {
    Install in;
    in.add_set(in.etc, "app_config", "[a]\nk = factory\n", "[a]\nk = mine\n");
    put(in.etc + "upgrade/app_config.upg", "[a]\nk\n_upgrade = custom\n");
    auto r = in.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(has(Install::text_of(in.etc + "app_config"), "k = mine"));
    for (const char* left : {".tup", ".tup.lck", ".chk"}) EXPECT_FALSE(path_exists(in.etc + "app_config" + left));
}

TEST(DriverMerge, ErrorsOfTheMergeFailTheRunAndTheTwentiethStopsIt) {
    const std::string report = "ERROR: Section in the Previous Config File has no match in Upgrade Rules file";
    for (int sections : {3, 25}) {
        Install in;
        std::string prev;
        for (int i = 1; i <= sections; i++) prev += "[s" + std::to_string(i) + "]\n";
        in.add_set(in.etc, "app_config", "[a]\n", prev.c_str());
        put(in.etc + "upgrade/app_config.upg", "[a]\n");
        auto r = in.run({"-c", "app_config", "-o", "result"}, in.root);
        EXPECT_EQ(r.status, 1);
        std::size_t count = 0;
        for (std::size_t at = 0; (at = r.err.find(report, at)) != std::string::npos; ++at) count++;
        EXPECT_EQ(count, sections > 20 ? 20u : 3u);
        EXPECT_EQ(has(r.err, "\n\nERROR: Too many errors\n\nEXIT:"), sections > 20);
        // The result check is not run after a failed merge; the copy goes to
        // the output file.
        EXPECT_EQ(Install::text_of(in.calls), "[-c][" + in.etc + "v4.0.1/custom/app_config][-s][" + in.etc +
                                                  "v4.0.1/custom/syntax/app_config.syn]\n");
        EXPECT_TRUE(drvtest::ends_with(r.err, drvtest::saved_exit("Output Config File", "result")));
        EXPECT_FALSE(path_exists(in.root + "/result.tup.lck"));
    }
}

}  // namespace
