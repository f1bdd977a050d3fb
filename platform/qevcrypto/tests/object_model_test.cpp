// The crypto library's object interfaces keep their slots where the library
// calls them, and its records and tables keep their layouts.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qev_attributes.h"
#include "qev_pse.h"
#include "qev_records.h"
#include "qev_results.h"
#include "qev_token.h"

namespace kestrin::qevcrypto::test {
namespace {

// The vtable entry a pointer to a virtual member designates (Itanium C++
// ABI: one plus the entry's byte offset).
template <class M>
size_t VtableEntry(M method)
{
    static_assert(sizeof(M) == 2 * sizeof(void*));
    uintptr_t raw = 0;
    std::memcpy(&raw, &method, sizeof raw);
    EXPECT_EQ(raw & 1u, 1u) << "not a virtual member";
    return (raw - 1) / sizeof(void*);
}

// IUnknown's virtual destructor takes the two entries after Release, so the
// slot k of the library's numbering from 3 on sits in entry k + 2.
constexpr size_t EntryOfSlot(size_t slot)
{
    return slot < 3 ? slot : slot + 2;
}

struct SlotCase {
    const char* name;
    size_t entry;
    size_t slot;
};

TEST(ObjectModelTest, InterfacesKeepTheLibrarySlots)
{
    const SlotCase cases[] = {
        {"PSE::QueryInterface", VtableEntry(&PSE::QueryInterface), 0},
        {"PSE::Release", VtableEntry(&PSE::Release), 2},
        {"PSE::getType", VtableEntry(&PSE::getType), 3},
        {"PSE::print", VtableEntry(&PSE::print), 6},
        {"PSE::getOwnCertificate", VtableEntry(&PSE::getOwnCertificate), 7},
        {"PSE::encryptDigest", VtableEntry(&PSE::encryptDigest), 8},
        {"PSE::getSlots", VtableEntry(&PSE::getSlots), 20},
        {"PSE::getPseFileName", VtableEntry(&PSE::getPseFileName), 35},
        {"PSE::cred_list", VtableEntry(&PSE::cred_list), 36},
        {"PSE::cred_finalCredUpdate", VtableEntry(&PSE::cred_finalCredUpdate), 45},
        {"PSE::control", VtableEntry(&PSE::control), 46},
        {"ASC::getPSE", VtableEntry(&ASC::getPSE), 7},
        {"ASC::getVerificationContext", VtableEntry(&ASC::getVerificationContext), 10},
        {"SecSlot::getP11SlotInfo", VtableEntry(&SecSlot::getP11SlotInfo), 8},
        {"SecSlot::releaseToken", VtableEntry(&SecSlot::releaseToken), 11},
        {"SecSlotEvents::wait", VtableEntry(&SecSlotEvents::wait), 7},
        {"SecSlotEvents::cancel", VtableEntry(&SecSlotEvents::cancel), 8},
        {"TokenPIN::getInfo", VtableEntry(&TokenPIN::getInfo), 10},
        {"TokenPIN::login", VtableEntry(&TokenPIN::login), 16},
        {"TokenPIN::set", VtableEntry(&TokenPIN::set), 19},
        {"SecToken::getObjects", VtableEntry(&SecToken::getObjects), 15},
        {"SecToken::delInitInfo", VtableEntry(&SecToken::delInitInfo), 19},
        {"SecToken::getRandom", VtableEntry(&SecToken::getRandom), 28},
        {"TokenObject::getObjectType", VtableEntry(&TokenObject::getObjectType), 7},
        {"TokenObject::remove", VtableEntry(&TokenObject::remove), 10},
        {"TokenObjectData::getData", VtableEntry(&TokenObjectData::getData), 11},
        {"TokenObjectCertificate::getCertPath", VtableEntry(&TokenObjectCertificate::getCertPath), 12},
        {"TokenObjectCertificate::getSigAlgs", VtableEntry(&TokenObjectCertificate::getSigAlgs), 14},
        {"TokenObjectPublicKey::getKeyInfo", VtableEntry(&TokenObjectPublicKey::getKeyInfo), 12},
        {"TokenObjectPrivateKey::sign", VtableEntry(&TokenObjectPrivateKey::sign), 14},
        {"TokenObjectPrivateKey::getCertObjs", VtableEntry(&TokenObjectPrivateKey::getCertObjs), 16},
        {"TokenObjectPrivateKey::getSigAlgs", VtableEntry(&TokenObjectPrivateKey::getSigAlgs), 18},
        {"TokenObjectSecretKey::get_key_type", VtableEntry(&TokenObjectSecretKey::get_key_type), 13},
        {"Certificate::getPublicKeyInfo", VtableEntry(&Certificate::getPublicKeyInfo), 7},
    };
    for (const SlotCase& c : cases)
        EXPECT_EQ(c.entry, EntryOfSlot(c.slot)) << c.name;
}

template <class T, class M>
size_t Offset(const T& table, const M* member)
{
    return static_cast<size_t>(reinterpret_cast<const char*>(member) - reinterpret_cast<const char*>(&table));
}

TEST(ObjectModelTest, RecordsAndTablesKeepTheirLayout)
{
    constexpr size_t p = sizeof(void*);
    EXPECT_EQ(offsetof(PersonalCertificateInfo, label), 5 * p);
    EXPECT_EQ(offsetof(PersonalCertificateInfo, certificate), 6 * p);
    EXPECT_EQ(offsetof(PersonalCertificateInfo, sigAlgs), 10 * p);
    EXPECT_EQ(offsetof(SET_OF_PersonalCertificateInfo, flag), 2 * p);
    EXPECT_EQ(offsetof(ProfileInfo, reserved), 4 * p);
    EXPECT_EQ(offsetof(ProfileInfoPIN, pinName), 8u);
    EXPECT_EQ(offsetof(ProfileInfoPIN, pinParams), 16u);
    EXPECT_EQ(offsetof(ProfileInfoPIN, pinLimits), 40u);
    EXPECT_EQ(offsetof(ProfileInfoPIN, pinValue), 56u);
    // Tables derive from API_COMMON, so their slots are measured on an object.
    SEC_PSE_TABLE pse {};
    SEC_ASC_TABLE asc {};
    SEC_DNAME_TYPE_TABLE names {};
    EXPECT_EQ(Offset(pse, &pse.create_PSE), 1 * p);
    EXPECT_EQ(Offset(pse, &pse.getSlot), 3 * p);
    EXPECT_EQ(Offset(asc, &asc.create_ASC), 1 * p);
    EXPECT_EQ(Offset(names, &names.match), 12 * p);
}

TEST(ObjectModelTest, AttributeTypesNameEncodableValuesOrInProcessPointers)
{
    EXPECT_EQ(SEC_AttributeValueType(SEC_ATTR_CREDENTIAL), SEC_TYPE_PersonalCertificateInfo);
    EXPECT_EQ(SEC_AttributeValueType(SEC_ATTR_CONNECTION), SEC_TYPE_int);
    EXPECT_EQ(SEC_AttributeValueType(SEC_ATTR_ISSUER_AND_SERIAL), SEC_TYPE_IssuerAndSerial);
    EXPECT_EQ(SEC_AttributeValueType(SEC_ATTR_SERVICE_PSE), SEC_TYPE_InProcess);
    EXPECT_EQ(SEC_AttributeValueType(SEC_ATTR_REAUTHENTICATE), 0u);
    EXPECT_EQ(SEC_AttributeValueType(12345), 0u);
    EXPECT_EQ(E_PSE_BUFFERTOOSMALL, ZELK_RC(0xA1E00014));
}

}  // namespace
}  // namespace kestrin::qevcrypto::test
