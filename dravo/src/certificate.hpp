// Interim stand-in for certificate creation while it is being built elsewhere.
#pragma once

// True when the server's certificate and key files exist afterwards.
bool CreateCertificate();
