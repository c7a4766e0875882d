// The server's TLS identity: a self-signed certificate and its RSA key in the server data
// folder, made once when either file is missing. Clients do not verify it.
#pragma once

#include <string>

// True when cert.pem and key.pem exist afterwards (old or new), false when writing failed.
// Either counts as missing unless it is a regular file.
bool CreateCertificate();
// The same; on failure `why` holds the file and the system's text ("key.pem: Read-only file
// system").
bool CreateCertificate(std::string& why);
