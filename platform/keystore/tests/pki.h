// Test keys, certificates and PKCS#12 files made by the openssl command
// line, once per test program, in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "keystore.h"

namespace kestrin::keystore::test {

// Runs a shell command quietly; true on exit status 0.
bool Shell(const std::string& command);
std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::span<const uint8_t> bytes);

class Pki {
public:
    // The shared instance (made on first use).
    static Pki& Get();
    ~Pki();

    const std::string& dir() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    // Makes <name>.key/.pem/.der/.pub: an end-entity certificate issued by
    // the test CA ("rsa" or "ec" key; `eku` such as "clientAuth").
    void MakeEndEntity(const std::string& name, const std::string& keyType, const std::string& cn,
                       const std::string& eku);
    // <name>.p12 of <cert>.key/.pem with the CA, password "secret".
    void ExportPkcs12(const std::string& name, const std::string& cert, const std::string& friendlyName, bool legacy);
    std::vector<uint8_t> Der(const std::string& name) const { return ReadFile(Path(name + ".der")); }
    std::vector<uint8_t> P12(const std::string& name) const { return ReadFile(Path(name + ".p12")); }

private:
    Pki();
    std::string dir_;
};

// A fresh temporary folder per test, removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A key store in its own temporary folder; system anchors default to an
// empty folder so that only what a test trusts is trusted.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    std::unique_ptr<KeyStore> OpenStore(const std::string& anchors = "");
    std::string StorePath() const { return temp_.path() + "/data/kestrin/keystore.db"; }

    TempDir temp_;
    std::unique_ptr<KeyStore> store_;
};

}  // namespace kestrin::keystore::test
