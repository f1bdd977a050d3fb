// The crypto library's byte channels ("SEC_BIO_1").
#pragma once

#include "qevcrypto.h"
#include "zelk_common_fl.h"
#include "zelk_result.h"

// "SEC_BIO_1" slot 5: a memory channel; a read of an empty one asks the
// reader to retry.
constexpr unsigned int BIO_TYPE_MEMORY = 1035;

#define QEV_BIO_RESERVED_SLOT(n)                                                                                       \
    virtual HRESULT reserved##n()                                                                                      \
    {                                                                                                                  \
        return E_NOTIMPL;                                                                                              \
    }

class bio : public COMMON_FL_TEMPLATE<bio> {
public:
    QEV_BIO_RESERVED_SLOT(7)
    QEV_BIO_RESERVED_SLOT(8)
    QEV_BIO_RESERVED_SLOT(9)
    QEV_BIO_RESERVED_SLOT(10)
    QEV_BIO_RESERVED_SLOT(11)
    QEV_BIO_RESERVED_SLOT(12)
    QEV_BIO_RESERVED_SLOT(13)
    QEV_BIO_RESERVED_SLOT(14)
    QEV_BIO_RESERVED_SLOT(15)
    QEV_BIO_RESERVED_SLOT(16)
    QEV_BIO_RESERVED_SLOT(17)
    QEV_BIO_RESERVED_SLOT(18)
    QEV_BIO_RESERVED_SLOT(19)
    QEV_BIO_RESERVED_SLOT(20)
    QEV_BIO_RESERVED_SLOT(21)
    QEV_BIO_RESERVED_SLOT(22)
    QEV_BIO_RESERVED_SLOT(23)
    QEV_BIO_RESERVED_SLOT(24)
    QEV_BIO_RESERVED_SLOT(25)
    // 26: the number of bytes waiting.
    virtual HRESULT Pending(unsigned long* count) = 0;
    QEV_BIO_RESERVED_SLOT(27)
    QEV_BIO_RESERVED_SLOT(28)
    // 29: up to `count` waiting bytes: the number read, 0 or less when none.
    virtual int Read(void* buffer, int count) = 0;
    QEV_BIO_RESERVED_SLOT(30)
    QEV_BIO_RESERVED_SLOT(31)
    QEV_BIO_RESERVED_SLOT(32)
    QEV_BIO_RESERVED_SLOT(33)
    QEV_BIO_RESERVED_SLOT(34)
    QEV_BIO_RESERVED_SLOT(35)
    QEV_BIO_RESERVED_SLOT(36)
    QEV_BIO_RESERVED_SLOT(37)
    QEV_BIO_RESERVED_SLOT(38)
    // 39: appends bytes: the number written, negative on failure.
    virtual int Write(const void* buffer, int count) = 0;

protected:
    ~bio() = default;
};

#undef QEV_BIO_RESERVED_SLOT

extern "C" {

struct SEC_BIO_TABLE : API_COMMON {
    void* reserved[4];
    // 5: a new channel of `type` (BIO_TYPE_MEMORY); other types E_INVALIDARG.
    HRESULT (*new_bio)(bio** out, unsigned int type);
};
}
