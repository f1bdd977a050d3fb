// The binding of the application to the crypto library, the runtime and the
// service, and the helpers its windows and dialogs share: texts, images and
// the serial queue "kvc.ui".
#pragma once

#include <QIcon>
#include <QString>
#include <functional>

#include "queues.h"
#include "zelk_gui_model.h"
#include "zelk_result.h"

class IResourceManager;

namespace kestrin::app {

// Installation root, the crypto library's trace exports, the runtime, and
// the trace level from the policy "trace". False when the runtime did not start.
bool ZELKGLUE_Initialize();
// Creates the service, deletes the system's own identities and runs the
// service until it stops: the service's result, or -1 when it cannot be created.
HRESULT ZELKGLUE_Run(int argc, char** argv);
HRESULT ZELKGLUE_Finalize();

// The text of `key` in bundle "zelkgui"; "" when it has none.
QString ZELKGLUE_GetText(const char* key);
// The picture of a row's icon code; a null icon for codes without one.
QIcon ZELKGLUE_GetImage(ZELK::PSESVC::IGUIItem_Icon code);
// One of the application's pictures by its name ("logo.png").
QIcon ZELKGLUE_GetNamedImage(const char* name);
SerialQueue* ZELKGLUE_GetDispatchQueue();
void ZELKGLUE_Dispatch(std::function<void()> block);
// Runs the block on "kvc.ui" and returns when it has run; on "kvc.ui" itself
// the block runs at once.
void ZELKGLUE_DispatchAndWait(const std::function<void()>& block);
// Deletes every identity of the system's own from the key store.
void ZELKGLUE_CleanupKeyChain();

// Takes the resource manager of bundle "zelkgui" for the current locale.
void ZELKGLUE_LoadResources();
// The texts of bundle "zelkgui" (one reference held; NULL drops them).
void ZELKGLUE_SetResourceManager(IResourceManager* manager);

// Headless: no widgets, no dialogs. Set once, in main, before the service starts.
void ZELKGLUE_SetHeadless(bool headless);
bool ZELKGLUE_IsHeadless();
// The mode for these arguments and this environment: headless with
// "--headless", or when none of QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY is set.
bool ZELKGLUE_WantsHeadless(int argc, char** argv, const std::function<const char*(const char*)>& getenv);

}  // namespace kestrin::app
