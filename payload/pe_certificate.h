// Where a signed Windows program keeps its signature: the certificate table that signing
// appends behind everything else in the file. Knows the PE format only.
#pragma once

#include "afx/afx.h"

#include <cstdint>

enum PeCertificateStatus {
    PE_CERT_NONE = 0,     // not a PE program, or its security directory is empty
    PE_CERT_TABLE = 1,    // a certificate table that lies inside the file and ends at its end
    PE_CERT_DAMAGED = 2,  // the security directory names a table that is not such a table
};

// The certificate table named by data directory 4 (the security directory) of the PE program
// in `file`: its file offset and size, valid with PE_CERT_TABLE only. Reads only within the
// file; throws nothing but what CFile throws for a failing read.
struct PeCertificateTable {
    PeCertificateStatus status = PE_CERT_NONE;
    int64_t nOffset = 0;
    int64_t nSize = 0;
};
PeCertificateTable PeReadCertificateTable(CFile& file);

// Signers align the certificate table to 8 bytes with zero bytes put in front of it.
constexpr int PE_CERT_ALIGNMENT = 8;
