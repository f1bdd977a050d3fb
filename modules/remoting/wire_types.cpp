#include "wire_types.h"

#include "zelk_holders.h"

namespace ZELK::PSESVC {

const SEC_TYPE_TABLE* WireTypeTable(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

}  // namespace ZELK::PSESVC
