#include <cstring>

#include "kinds.h"

namespace ZELK::PSESVC {

namespace {

void PutLE(unsigned char* at, uint64_t value, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLE(const unsigned char* at, size_t n)
{
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i)
        value |= static_cast<uint64_t>(at[i]) << (8 * i);
    return value;
}

}  // namespace

void EncodeSlotInfo(const CK_SLOT_INFO& info, unsigned char image[kSlotInfoImage])
{
    std::memset(image, 0, kSlotInfoImage);
    std::memcpy(image, info.slotDescription, 64);
    std::memcpy(image + 64, info.manufacturerID, 32);
    PutLE(image + 96, info.flags, 8);
    image[104] = info.hardwareVersion.major;
    image[105] = info.hardwareVersion.minor;
    image[106] = info.firmwareVersion.major;
    image[107] = info.firmwareVersion.minor;
}

void DecodeSlotInfo(const unsigned char image[kSlotInfoImage], CK_SLOT_INFO* info)
{
    std::memcpy(info->slotDescription, image, 64);
    std::memcpy(info->manufacturerID, image + 64, 32);
    info->flags = static_cast<CK_FLAGS>(GetLE(image + 96, 8));
    info->hardwareVersion.major = image[104];
    info->hardwareVersion.minor = image[105];
    info->firmwareVersion.major = image[106];
    info->firmwareVersion.minor = image[107];
}

void EncodeTokenInfo(const CK_TOKEN_INFO& info, unsigned char image[kTokenInfoImage])
{
    std::memset(image, 0, kTokenInfoImage);
    std::memcpy(image, info.label, 32);
    std::memcpy(image + 32, info.manufacturerID, 32);
    std::memcpy(image + 64, info.model, 16);
    std::memcpy(image + 80, info.serialNumber, 16);
    const CK_ULONG numbers[] = {info.flags,
                                info.ulMaxSessionCount,
                                info.ulSessionCount,
                                info.ulMaxRwSessionCount,
                                info.ulRwSessionCount,
                                info.ulMaxPinLen,
                                info.ulMinPinLen,
                                info.ulTotalPublicMemory,
                                info.ulFreePublicMemory,
                                info.ulTotalPrivateMemory,
                                info.ulFreePrivateMemory};
    for (size_t i = 0; i < 11; ++i)
        PutLE(image + 96 + 8 * i, numbers[i], 8);
    image[184] = info.hardwareVersion.major;
    image[185] = info.hardwareVersion.minor;
    image[186] = info.firmwareVersion.major;
    image[187] = info.firmwareVersion.minor;
    std::memcpy(image + 188, info.utcTime, 16);
}

void DecodeTokenInfo(const unsigned char image[kTokenInfoImage], CK_TOKEN_INFO* info)
{
    std::memcpy(info->label, image, 32);
    std::memcpy(info->manufacturerID, image + 32, 32);
    std::memcpy(info->model, image + 64, 16);
    std::memcpy(info->serialNumber, image + 80, 16);
    CK_ULONG* numbers[] = {&info->flags,
                           &info->ulMaxSessionCount,
                           &info->ulSessionCount,
                           &info->ulMaxRwSessionCount,
                           &info->ulRwSessionCount,
                           &info->ulMaxPinLen,
                           &info->ulMinPinLen,
                           &info->ulTotalPublicMemory,
                           &info->ulFreePublicMemory,
                           &info->ulTotalPrivateMemory,
                           &info->ulFreePrivateMemory};
    for (size_t i = 0; i < 11; ++i)
        *numbers[i] = static_cast<CK_ULONG>(GetLE(image + 96 + 8 * i, 8));
    info->hardwareVersion.major = image[184];
    info->hardwareVersion.minor = image[185];
    info->firmwareVersion.major = image[186];
    info->firmwareVersion.minor = image[187];
    std::memcpy(info->utcTime, image + 188, 16);
}

bool CallRemote(ProxyBase* self, Transaction& transaction, HRESULT* rc)
{
    *rc = self->Execute(&transaction);
    if (*rc < 0)
        return false;
    if (!transaction.ReadRC(rc)) {
        *rc = E_FAIL;
        return false;
    }
    return true;
}

HRESULT CallRemoteRC(ProxyBase* self, Transaction& transaction)
{
    HRESULT rc = S_OK;
    CallRemote(self, transaction, &rc);
    return rc;
}

void DropNumber(ProxyBase* self, uint32_t number)
{
    if (number == 0 || (number & kMethodIndexMask) != 0 || self->Registry() == nullptr)
        return;
    const ApiType kind = KindOfNumber(number);
    if (kind >= API_TOKENOBJECT && kind <= API_TOKENOBJECT_SECRETKEY) {
        if (TokenObject* object = TokenObjectProxy::GetInstance(self->Registry(), self->Tunnel(), number))
            object->Release();
    } else if (kind == API_TOKENPIN) {
        if (TokenPIN* pin = TokenPINProxy::GetInstance(self->Registry(), self->Tunnel(), number))
            pin->Release();
    }
}

}  // namespace ZELK::PSESVC
