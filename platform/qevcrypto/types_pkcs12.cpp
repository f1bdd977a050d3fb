// P12_Safe (3), SET_OF_P12_Bag (10) and P12_Bag (11): a table of their own,
// laid out as "SEC_COMMONTYPES_1" is (entry k is the type of index k).
#include "types_pkcs12.h"

#include "types_table.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {

void FreeP12Bag(P12_Bag* bag)
{
    if (bag == nullptr)
        return;
    if (bag->content != nullptr) {
        if (bag->kind == P12_BAG_KEY)
            FreePrivateKeyInfo(static_cast<PrivateKeyInfo*>(bag->content));
        else if (bag->kind == P12_BAG_CERTIFICATE)
            static_cast<Certificate*>(bag->content)->Release();
    }
    FreeOctets(bag->friendlyName);
    FreeOctets(bag->localKeyId);
    std::free(bag);
}

void FreeP12BagList(SET_OF_P12_Bag* list)
{
    while (list != nullptr) {
        SET_OF_P12_Bag* next = list->next;
        FreeP12Bag(list->element);
        std::free(list);
        list = next;
    }
}

namespace {

void FreeSafe(P12_Safe* safe)
{
    if (safe == nullptr)
        return;
    FreeP12BagList(safe->bags);
    FreeObjId(safe->macDigest);
    FreeObjId(safe->certificateEncryption);
    FreeObjId(safe->keyEncryption);
    std::free(safe);
}

template <const char* Name>
HRESULT TypeInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, Name, "");
}

HRESULT TableInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "PKCS12 types", "PKCS#12 value types");
}

constexpr char kSafe[] = "P12_Safe";
constexpr char kBagList[] = "SET_OF_P12_Bag";
constexpr char kBag[] = "P12_Bag";

const SEC_TYPE_TABLE s_safe = {{&TypeInfo<kSafe>}, &NoAddRef, &FreeEntry<P12_Safe, FreeSafe>, nullptr,   &NoCopy,
                               &NoCompare,         nullptr,   &NewEntry<P12_Safe, false>,     &NoDecode, &NoEncode};
const SEC_TYPE_TABLE s_bagList = {{&TypeInfo<kBagList>},
                                  &NoAddRef,
                                  &FreeEntry<SET_OF_P12_Bag, FreeP12BagList>,
                                  nullptr,
                                  &NoCopy,
                                  &NoCompare,
                                  nullptr,
                                  &NewEntry<SET_OF_P12_Bag, true>,
                                  &NoDecode,
                                  &NoEncode};
const SEC_TYPE_TABLE s_bag = {{&TypeInfo<kBag>}, &NoAddRef, &FreeEntry<P12_Bag, FreeP12Bag>, nullptr,   &NoCopy,
                              &NoCompare,        nullptr,   &NewEntry<P12_Bag, false>,       &NoDecode, &NoEncode};

struct Pkcs12TypeTable {
    API_INFO_FN info;
    const SEC_TYPE_TABLE* types[SEC_TYPE_P12_Bag];
};

const Pkcs12TypeTable s_types = {
    &TableInfo,
    {nullptr, nullptr, &s_safe, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &s_bagList, &s_bag},
};

}  // namespace

const API_COMMON* Pkcs12Types()
{
    return reinterpret_cast<const API_COMMON*>(&s_types);
}

}  // namespace kestrin::qevcrypto::values
