// The TLS connection factory's class name; tests register their own.
#include "tls_connection_factory.h"
#include "zelk_class.h"

namespace ZELK::PSESVC::WEBCLIENT {
namespace {

CZELK_CLASS s_tlsFactoryClass("zelk", TLS_FACTORY_CLASS, &CTLSConnectionFactory::NewOf<CTLSConnectionFactory>);

}  // namespace
}  // namespace ZELK::PSESVC::WEBCLIENT
