// The service's fixed paths, with and without ORVAL_ROOT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "service/orva_paths.h"

TEST(Paths, UnsetOrEmptyRootLeavesThePathsAsTheyAre) {
    for (const char* root : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(root ? "empty" : "unset");
        if (root)
            setenv("ORVAL_ROOT", root, 1);
        else
            unsetenv("ORVAL_ROOT");
        ASSERT_EQ(0, orvaInitPaths());
        EXPECT_FALSE(orvaPathsRooted());
        EXPECT_STREQ("/var/run/orval.pid", orvaPath(OrvaPath::PidFile));
        EXPECT_STREQ("/etc/orval", orvaPath(OrvaPath::ConfDir));
        EXPECT_STREQ("/etc/orval/orval.conf", orvaPath(OrvaPath::ConfFile));
        EXPECT_STREQ("/etc/orval/orval.acl", orvaPath(OrvaPath::AclFile));
        EXPECT_STREQ("/var/orval", orvaPath(OrvaPath::WorkDir));
        EXPECT_STREQ("/var/orval/log", orvaPath(OrvaPath::LogDir));
    }
}

TEST(Paths, RootPrefixesEveryFixedPath) {
    setenv("ORVAL_ROOT", "/tmp/site", 1);
    ASSERT_EQ(0, orvaInitPaths());
    EXPECT_TRUE(orvaPathsRooted());
    EXPECT_STREQ("/tmp/site/var/run/orval.pid", orvaPath(OrvaPath::PidFile));
    EXPECT_STREQ("/tmp/site/etc/orval/orval.conf", orvaPath(OrvaPath::ConfFile));
    EXPECT_STREQ("/tmp/site/var/orval/log", orvaPath(OrvaPath::LogDir));
}

TEST(Paths, RootThatLeavesNoRoomIsRefusedRatherThanCut) {
    setenv("ORVAL_ROOT", std::string(990, 'r').c_str(), 1);
    EXPECT_EQ(-1, orvaInitPaths());
    unsetenv("ORVAL_ROOT");
}
