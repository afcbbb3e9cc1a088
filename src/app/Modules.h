// The life of the process: module start-up and shutdown in their fixed
// order, and the process-wide data objects between them. The desktop program
// and the headless command both go through these.
#pragma once

// Module start-up, in this order: the log manager's locks, the key pair
// module, the settings (file read at once; server settings empty), the HTTP
// request manager.
void StartModules();
// The reverse order; the log manager goes last.
void StopModules();

// Data objects, in this order: catalog database, user database, session,
// cover cache. Released in the reverse order.
void CreateDataObjects();
void FreeDataObjects();
