// Upload consent at the facade: what the first initialisation and a revocation do.
#pragma once

namespace zeplog::detail {

// At the first initialisation, once the data directory is settled and before the saved
// events are restored: reads (or writes) the consent record; when it says revoked, deletes
// what earlier runs kept, so nothing of it is restored or sent.
void loadUploadConsentAtFirstInit();

// Upload consent revoked: deletes the queued events, the queue files, the spool, the crash
// reports and the stored settings answer; the consent record and the device id stay.
void deleteKeptForRevokedConsent();

}  // namespace zeplog::detail
