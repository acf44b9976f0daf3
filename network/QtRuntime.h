// Qt's network classes need a QCoreApplication, and the hosts that load
// this library (the streaming engine, the zanstream program) have none and
// never heard of Qt. When the process has no application object, the
// library creates one, once, on a private thread that runs its event loop,
// and shuts it down again when the library is unloaded or the process
// exits. A host that has its own QCoreApplication keeps it; nothing is
// created then.
//
// Qt takes the first thread that touches its thread machinery as its main
// thread, so the application object must exist before the library creates
// any QObject: call ensureQtApplication() first.
#pragma once

class QObject;

namespace zan {

// Creates the private application thread when the process has no
// QCoreApplication. Safe to call from any thread, any number of times.
void ensureQtApplication();

// ensureQtApplication(), then null: for use as the parent argument of a
// QObject base-class constructor, so that the application exists before
// the QObject part is built.
QObject* qtApplicationReadyParent();

// True when the library created the application object itself.
bool ownsQtApplication();

}  // namespace zan
