#include "config/customtypes.hpp"

#include <gtest/gtest.h>

namespace velora::customtypes {
namespace {

TEST(LoadConfiguration, BuildsTheEndpointsOnTheConfiguredServers) {
    LoadConfiguration();
    EXPECT_EQ(apiurl, u"https://updates.test:8443/index.php/players/");
    EXPECT_EQ(controllerurl, u"https://updates.test:8443/library/controllers/");
    EXPECT_EQ(streamurl, controllerurl + u"getsong.php");
    EXPECT_EQ(serviceapiurl, u"https://service.test/api/");

    // streamurl is a copy, not a view of controllerurl.
    controllerurl = u"changed";
    EXPECT_EQ(streamurl, u"https://updates.test:8443/library/controllers/getsong.php");
}

TEST(FinalizeConfiguration, ClearsEveryText) {
    LoadConfiguration();
    httpuser = u"user";
    secret = u"s3cret";
    FinalizeConfiguration();
    for (const UnicodeString* text :
         {&apiurl, &controllerurl, &streamurl, &serviceapiurl, &LocalFileCrypto, &httpuser,
          &httppass, &secret, &apisecret}) {
        EXPECT_TRUE(text->empty());
    }
}

} // namespace
} // namespace velora::customtypes
