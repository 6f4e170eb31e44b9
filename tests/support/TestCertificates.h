#pragma once

// Certificates for the fake hosted service, made at test time with the
// openssl command line (EC P-256, valid for two days) in a temporary folder
// that lives as long as the process. Two independent sets: one whose CA the
// tests trust, and a rogue one whose CA nobody trusts.

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

namespace tovrik::test {

struct TestCertificateSet {
    bool valid = false;
    QString error;             // why generation failed
    QSslCertificate ca;        // the signing CA
    QString caPath;            // the CA certificate as a PEM file
    QSslCertificate server;    // leaf for the trusted hosted hosts, Google's endpoint hosts and "untrusted.example"
    QSslKey serverKey;
};

// Keeps the certificates in `folder` instead of a temporary one: the ones
// found there are used again while they are valid for at least a day more,
// else new ones (valid for a year) are written there. Call before the first
// use of the sets below (the stand-in program does, so its CA stays the same
// between starts).
void setCertificateFolder(const QString& folder);

// Made once per process (thread-unsafe; call on the main thread).
const TestCertificateSet& trustedTestCertificates();
const TestCertificateSet& untrustedTestCertificates();

} // namespace tovrik::test
