// The classes of module "zelkcomsock", each created anew per request.
#include "client.h"
#include "rawserver.h"
#include "server.h"
#include "zelk_class.h"

namespace {

using namespace ZELK::PSESVC::COMSOCK;

CZELK_CLASS s_serverUnix("zelkcomsock", "zelk.comunix.server", &CFactoryImpl<ServerUNIX>::New);
CZELK_CLASS s_serverTcp("zelkcomsock", "zelk.comsock.server", &CFactoryImpl<ServerTCP>::New);
CZELK_CLASS s_clientUnix("zelkcomsock", "zelk.comunix.client", &CFactoryImpl<ClientUNIX>::New);
CZELK_CLASS s_clientTcp("zelkcomsock", "zelk.comsock.client", &CFactoryImpl<ClientTCP>::New);
CZELK_CLASS s_rawServer("zelkcomsock", "zelk.comsock.raw.server", &CFactoryImpl<ServerRawTCP>::New);

}  // namespace
