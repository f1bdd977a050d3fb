// The classes created by name from the built module "zelkcomsock": a server
// and a client of the module talk to each other, and the raw server answers
// only its one interface.
#include <gtest/gtest.h>

#include "comsock_test_util.h"
#include "zelk_class.h"

using namespace ZELK::PSESVC::COMSOCK::test;

TEST(ComsockModule, ClassesAreCreatedByNameAndTalkToEachOther)
{
    ITunnelSource* server = nullptr;
    ASSERT_EQ(S_OK, ZELK_CreateObject("zelkcomsock", "zelk.comunix.server", IID_ITunnelSource,
                                      reinterpret_cast<void**>(&server)));
    IPSESVCSession* session = nullptr;
    EXPECT_EQ(S_OK, server->QueryInterface(IID_IPSESVCSession, reinterpret_cast<void**>(&session)));
    session->Release();
    Ref<Factory> factory;
    ASSERT_EQ(S_OK, server->Connect(static_cast<IClassFactory*>(factory.get())));

    ITunnel* client = nullptr;
    ASSERT_EQ(S_OK,
              ZELK_CreateObject("zelkcomsock", "zelk.comunix.client", IID_ITunnel, reinterpret_cast<void**>(&client)));
    unsigned char request[] = "ping";
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    ASSERT_EQ(S_OK, client->Transact(request, 4, &buffer, &length));
    EXPECT_EQ("s1:ping", std::string(reinterpret_cast<char*>(buffer), length));
    sec_free(buffer);
    client->Disconnect();
    client->Release();
    server->Disconnect(nullptr);
    server->Release();

    ITunnelSource* raw = nullptr;
    ASSERT_EQ(S_OK, ZELK_CreateObject("zelkcomsock", "zelk.comsock.raw.server", IID_ITunnelSource,
                                      reinterpret_cast<void**>(&raw)));
    void* other = nullptr;
    EXPECT_EQ(E_NOINTERFACE, raw->QueryInterface(IID_IPSESVCSession, &other));
    raw->Release();
}
