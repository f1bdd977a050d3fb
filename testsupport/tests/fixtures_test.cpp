// The fixtures themselves: the KDC gives tickets, the enrolment server's CA
// verifies with the openssl tool and its admin port queues and records.
#include <gtest/gtest.h>

#include "enrol_server.h"
#include "kdc_fixture.h"

namespace kestrin::testsupport::test {

TEST(KdcFixture, RealmGivesTicketsForEveryKeytab)
{
    KdcFixture kdc;
    std::string error;
    ASSERT_TRUE(kdc.Start(error)) << error;
    EXPECT_TRUE(kdc.Kinit("HTTP/localhost", kdc.Keytab("HTTP")));
    EXPECT_TRUE(kdc.Kinit("QEV/localhost", kdc.Keytab("QEV")));
    EXPECT_FALSE(kdc.Kinit("nobody", kdc.Keytab("alice")));
    std::string list;
    ASSERT_EQ(RunProgram({"klist"}, kdc.Environment(), &list), 0);
    EXPECT_NE(list.find("QEV/localhost@KESTRIN.TEST"), std::string::npos) << list;
}

TEST(EnrolServerFixture, CertificatesVerifyAsIntended)
{
    EnrolServer server;
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    const std::string root = server.File("root"), inter = server.File("inter");
    auto verify = [&](const std::string& leaf) {
        return RunProgram({"openssl", "verify", "-CAfile", root, "-untrusted", inter, leaf}, {});
    };
    const std::string folder = root.substr(0, root.rfind('/'));
    EXPECT_EQ(verify(folder + "/server-good.pem"), 0);
    EXPECT_EQ(verify(folder + "/server-cnonly.pem"), 0);
    EXPECT_NE(verify(folder + "/server-expired.pem"), 0);
    EXPECT_NE(verify(folder + "/server-unknownca.pem"), 0);
}

TEST(EnrolServerFixture, AdminPortQueuesAndRecords)
{
    EnrolServer server;
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    QueuedReply reply;
    reply.body = "queued";
    EXPECT_TRUE(server.Queue("/x", reply));
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_TRUE(server.ProxyTargets().empty());
    EXPECT_TRUE(server.Reset());
    EXPECT_EQ(Base64Decode(Base64Encode(std::string("a\0b", 3))), std::string("a\0b", 3));
}

}  // namespace kestrin::testsupport::test
