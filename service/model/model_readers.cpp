// "zelk.readersinfo", registered apart from the classes so that the reader
// manager's tests can serve their own.
#include "model_readers.h"

#include "zelk_class.h"

namespace ZELK::PSESVC {
namespace {

CZELK_CLASS s_class("zelk", "zelk.readersinfo", &CSingletonFactoryImpl<CModelReaders>::New);

}  // namespace
}  // namespace ZELK::PSESVC
