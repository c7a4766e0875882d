// The server's TLS identity: a self-signed certificate and its RSA key in the server data
// folder, made once when either file is missing. Clients do not verify it.
#pragma once

// True when cert.pem and key.pem exist afterwards (old or new), false when writing failed.
bool CreateCertificate();
