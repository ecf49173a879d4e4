// Hostile inputs through plombar-cli: messages that declare lengths far beyond their bytes, ASN.1
// nested a hundred thousand levels deep, certificates with enormous names, and a store folder of
// five thousand entries, most of them junk. Each ends in a clear outcome with bounded memory (the
// peak resident memory of the command is checked) and the time it took goes to the test's output.

#include "FaultSupport.h"

#include "TestPki.h"
#include "codec/Base64.h"
#include "crypto/Certificate.h"
#include "crypto/CertificateFactory.h"
#include "crypto/CertificateText.h"
#include "operations/SignFlow.h"
#include "operations/VerifyFlow.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace plombar;
using namespace plombar::faults;
using namespace plombar::test;

namespace {

constexpr std::uint64_t kMiB = 1024; // in KiB, as peak RSS is counted
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed blocks in quarantine and adds shadow memory: the same runs take
// about twice as much.
constexpr std::uint64_t kSmallRun = 288 * kMiB;
#else
constexpr std::uint64_t kSmallRun = 96 * kMiB; // a command on small inputs
#endif
constexpr std::size_t kDepth = 100000; // nesting levels

void report(const std::string& what, const ProgramRun& run) {
    char line[240];
    std::snprintf(line, sizeof line, "measured: %-60s peak RSS %6.1f MiB, %6.3f s, exit %d", what.c_str(),
                  static_cast<double>(run.peakRssKiB) / 1024.0, run.seconds, run.status);
    std::cout << line << std::endl;
    ::testing::Test::RecordProperty(what, std::to_string(run.peakRssKiB) + " KiB, " +
                                              std::to_string(run.seconds) + " s");
}

std::string definiteLength(std::size_t length) {
    if (length < 0x80)
        return std::string(1, static_cast<char>(length));
    std::string bytes;
    for (std::size_t rest = length; rest > 0; rest >>= 8)
        bytes.insert(bytes.begin(), static_cast<char>(rest & 0xFF));
    return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}

// `depth` SEQUENCEs inside each other with definite lengths, an INTEGER at the bottom; written from
// the outside in with lengths worked out from the inside out, in linear time.
std::string nestedDefinite(std::size_t depth) {
    std::vector<std::size_t> lengths(depth + 1);
    lengths[depth] = 3; // 02 01 00
    for (std::size_t i = depth; i-- > 0;)
        lengths[i] = 1 + definiteLength(lengths[i + 1]).size() + lengths[i + 1];
    std::string der;
    der.reserve(lengths[0]);
    for (std::size_t i = 0; i < depth; ++i)
        der += '\x30' + definiteLength(lengths[i + 1]);
    der += std::string("\x02\x01\x00", 3);
    return der;
}

std::string nestedIndefinite(std::size_t depth) {
    std::string ber;
    for (std::size_t i = 0; i < depth; ++i)
        ber += std::string("\x30\x80", 2);
    ber += std::string("\x02\x01\x00", 3);
    for (std::size_t i = 0; i < depth; ++i)
        ber += std::string("\x00\x00", 2);
    return ber;
}

std::string base64Of(const std::string& bytes) {
    return encodeBase64(bytes);
}

// A real message with its outer length replaced by `header` (tag and length bytes).
std::string withOuterHeader(const std::string& der, const std::string& header) {
    std::size_t skip = 2;
    if (static_cast<unsigned char>(der[1]) & 0x80)
        skip += static_cast<unsigned char>(der[1]) & 0x7F;
    return header + der.substr(skip);
}

class HostileInputs : public ::testing::Test {
protected:
    void SetUp() override { thumbprint = store.add(identity); }

    ProgramRun cli(const std::vector<std::string>& arguments) {
        RunOptions options;
        options.folder = work.path();
        return runCli(arguments, options);
    }

    TestStore store;
    TestIdentity identity = makeIdentity(KeyAlgorithm::Gost2012_256, "CN=Хозяин");
    std::string thumbprint;
    TempDir work{"plombar-faults-hostile"};
};

TEST_F(HostileInputs, MessagesDeclaringHugeLengthsOrDeeplyNested) {
    writeFile(work.file("данные.txt"), "данные");
    ASSERT_EQ(cli({"sign", "данные.txt", "--thumbprint", thumbprint}).status, 0);
    ASSERT_EQ(cli({"encrypt", "данные.txt", "--thumbprint", thumbprint}).status, 0);
    const std::string signature = readFile(work.file("данные.txt.sig"));
    const std::string envelope = readFile(work.file("данные.txt.enc"));
    const std::string junk = randomBytes(64, 3);

    struct Message {
        const char* what;
        std::string bytes;
    };
    const auto variants = [&](const std::string& real) {
        return std::vector<Message>{
            {"a 4-byte length of 4 GiB", std::string("\x30\x84\xff\xff\xff\xff", 6) + junk},
            {"an 8-byte length", std::string("\x30\x88\x7f\xff\xff\xff\xff\xff\xff\xff", 10) + junk},
            {"a 126-byte length", std::string("\x30\xfe", 2) + std::string(126, '\xff') + junk},
            {"the real message claiming 2 GiB",
             withOuterHeader(real, std::string("\x30\x84\x7f\xff\xff\xff", 6))},
            {"the real message cut in half", real.substr(0, real.size() / 2)},
            {"indefinite lengths never closed", std::string(20000, '\x30') + std::string(1, '\x80')},
            {"nested 100000 deep, definite lengths", nestedDefinite(kDepth)},
            {"nested 100000 deep, indefinite lengths", nestedIndefinite(kDepth)},
        };
    };

    for (const Message& m : variants(signature)) {
        SCOPED_TRACE(m.what);
        for (const bool base64 : {false, true}) {
            const std::string path = work.file(base64 ? "враждебная.p7s" : "враждебная.sig");
            writeFile(path, base64 ? base64Of(m.bytes) : m.bytes);
            const ProgramRun run = cli({"verify", "данные.txt", path});
            report(std::string("verify: ") + m.what + (base64 ? " (Base64)" : ""), run);
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_EQ(run.out, std::string(operations::kVerifyHeaderLine) + "\n" +
                                   operations::kSignatureInvalidLine + "\n");
            EXPECT_LT(run.peakRssKiB, kSmallRun);
        }
    }
    for (const Message& m : variants(envelope)) {
        SCOPED_TRACE(m.what);
        writeFile(work.file("враждебное.bin.enc"), m.bytes);
        const ProgramRun run = cli({"decrypt", "враждебное.bin.enc"});
        report(std::string("decrypt: ") + m.what, run);
        EXPECT_EQ(run.status, 14) << run.err;
        EXPECT_EQ(run.err.rfind("plombar-cli: ", 0), 0u) << run.err;
        EXPECT_FALSE(fileExists(work.file("враждебное.bin")));
        EXPECT_LT(run.peakRssKiB, kSmallRun);
    }
    for (const Message& m : variants(identity.der())) {
        SCOPED_TRACE(m.what);
        writeFile(work.file("враждебный.cer"), m.bytes);
        ProgramRun run = cli({"encrypt", "данные.txt", "--cert", "враждебный.cer"});
        report(std::string("encrypt for a certificate file: ") + m.what, run);
        EXPECT_EQ(run.status, 4) << run.err;
        EXPECT_LT(run.peakRssKiB, kSmallRun);
        run = cli({"store", "import", "враждебный.cer"});
        report(std::string("store import: ") + m.what, run);
        EXPECT_EQ(run.status, 4) << run.err;
        EXPECT_LT(run.peakRssKiB, kSmallRun);
    }
}

// Names of a quarter mebibyte and of eight thousand parts, in the store, in signatures and envelopes.
TEST_F(HostileInputs, CertificatesWithEnormousNames) {
    struct Shape {
        const char* what;
        std::string commonName;
        NameRdns rdns;
    };
    std::vector<Shape> shapes(2);
    shapes[0].what = "one attribute of 256 KiB (in subject and issuer)";
    shapes[0].commonName = "Огромное имя";
    shapes[0].rdns = {{{"CN", shapes[0].commonName}}, {{"1.2.643.100.999", std::string(256 << 10, 'x')}}};
    shapes[1].what = "8000 name parts (in subject and issuer)";
    shapes[1].commonName = "Многосоставное имя";
    shapes[1].rdns.push_back({{"CN", shapes[1].commonName}});
    for (int i = 0; i < 8000; ++i)
        shapes[1].rdns.push_back({{"1.2.643.100.999", "часть " + std::to_string(i)}});

    writeFile(work.file("письмо.txt"), "письмо");
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.what);
        IdentityFields fields;
        fields.rdns = shape.rdns;
        const TestIdentity big = makeIdentity(fields);
        const std::string bigThumbprint = store.add(big);
        writeFile(work.file("большой.cer"), big.der());

        ProgramRun run = cli({"store", "list"});
        report(std::string("store list with ") + shape.what, run);
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find(bigThumbprint), std::string::npos);
        EXPECT_LT(run.peakRssKiB, kSmallRun);

        run = cli({"store", "show", bigThumbprint});
        report(std::string("store show with ") + shape.what, run);
        EXPECT_EQ(run.status, 0);
        EXPECT_LT(run.peakRssKiB, kSmallRun);

        run = cli({"sign", "письмо.txt", "--thumbprint", bigThumbprint});
        report(std::string("sign with ") + shape.what, run);
        ASSERT_EQ(run.status, 0) << run.err;
        run = cli({"verify", "письмо.txt", "письмо.txt.sig", "--certificate"});
        report(std::string("verify with ") + shape.what, run);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(operations::kSignatureValidLine), std::string::npos);
        EXPECT_NE(run.out.find("2.5.4.3=" + shape.commonName), std::string::npos);
        EXPECT_LT(run.peakRssKiB, kSmallRun);

        run = cli({"encrypt", "письмо.txt", "--cert", "большой.cer"});
        report(std::string("encrypt for ") + shape.what, run);
        ASSERT_EQ(run.status, 0) << run.err;
        run = cli({"decrypt", "письмо.txt.enc"});
        report(std::string("decrypt for ") + shape.what, run);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(readFile(work.file("письмо.txt")), "письмо");
        EXPECT_LT(run.peakRssKiB, kSmallRun);
        ASSERT_EQ(cli({"store", "remove", bigThumbprint}).status, 0);
    }
}

// The store reads certificate files of up to a mebibyte; a larger certificate is refused when it is
// imported, not stored to be passed over on every later opening.
TEST_F(HostileInputs, CertificatesTooLargeForTheStoreAreRefused) {
    IdentityFields fields;
    fields.rdns = {{{"CN", "Слишком большой"}}, {{"1.2.643.100.999", std::string(600 << 10, 'x')}}};
    const TestIdentity big = makeIdentity(fields);
    writeFile(work.file("большой.pem"), big.pem());
    writeFile(work.file("большой.key"), big.keyPem());
    const ProgramRun run = cli({"store", "import", "большой.pem", "--key", "большой.key"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "plombar-cli: Сертификат слишком велик для хранилища: " + std::to_string(big.der().size()) +
                  " байт, а хранилище читает сертификаты не больше 1048576 байт\n");
    EXPECT_EQ(listFolder(store.folder()),
              std::vector<std::string>({thumbprint + ".cer", thumbprint + ".key"}));
}

// Five thousand entries: five hundred certificates and every kind of junk a folder can hold.
TEST_F(HostileInputs, StoreOfFiveThousandEntriesMostlyJunk) {
    const std::string folder = store.folder();
    const crypto::EvpPkeyPtr key = crypto::GenerateKey(KeyAlgorithm::Gost2012_256);
    std::set<std::string> valid = {thumbprint};
    std::vector<std::string> ders;
    for (int i = 0; i < 499; ++i) {
        const crypto::X509NamePtr name = crypto::ParseSubjectText("CN=Сертификат " + std::to_string(i));
        crypto::CertificateFields fields;
        fields.subject = name.get();
        fields.serial = "\x01" + std::to_string(i);
        const crypto::X509Ptr certificate = crypto::MakeCertificate(fields, key.get());
        const std::string t = crypto::Certificate::share(certificate.get()).thumbprint();
        unsigned char* der = nullptr;
        const int length = i2d_X509(certificate.get(), &der);
        const crypto::OpenSslBytesPtr holder(der);
        ders.emplace_back(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
        writeFile(folder + "/" + t + ".cer", ders.back());
        valid.insert(t);
    }
    const auto name = [&](const char* kind, int i, const char* extension = ".cer") {
        return folder + "/" + kind + "-" + std::to_string(i) + extension;
    };
    const std::string deep = nestedDefinite(kDepth);
    for (int i = 0; i < 1000; ++i)
        writeFile(name("empty", i), "");
    for (int i = 0; i < 1000; ++i)
        writeFile(name("noise", i), randomBytes(1024, static_cast<std::uint32_t>(i)));
    for (int i = 0; i < 500; ++i)
        writeFile(name("pem", i), "-----BEGIN CERTIFICATE-----\n" + base64Of(randomBytes(600, i + 7)) +
                                      "\n-----END CERTIFICATE-----\n");
    for (int i = 0; i < 300; ++i)
        makeSparseFile(name("oversize", i), 2 << 20, ders[static_cast<std::size_t>(i)]);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(::mkdir(name("folder", i).c_str(), 0700), 0);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(::mkfifo(name("fifo", i).c_str(), 0600), 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(::symlink("/nonexistent/x.cer", name("dangling", i).c_str()), 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(::symlink("/dev/zero", name("zero", i).c_str()), 0);
    for (int i = 0; i < 100; ++i)
        writeFile(name("orphan", i, ".key"), identity.keyPem());
    for (int i = 0; i < 100; ++i)
        writeFile(name("orphan", i, ".name"), "имя без сертификата");
    for (int i = 0; i < 100; ++i) // far too long friendly names of real entries
        makeSparseFile(folder + "/" + *std::next(valid.begin(), i) + ".name", 1 << 30, "Имя");
    for (int i = 0; i < 100; ++i)
        writeFile(name("other", i, ".txt"), "не сертификат");
    for (int i = 0; i < 500; ++i)
        writeFile(folder + "/.temporary-" + std::to_string(i) + ".cer.0123456789ab.plombar-tmp",
                  ders[static_cast<std::size_t>(i % ders.size())]);
    for (int i = 0; i < 100; ++i) // the same certificates once more under other names
        writeFile(name("copy", i), ders[static_cast<std::size_t>(i)]);
    for (int i = 0; i < 100; ++i)
        writeFile(name("deep", i), deep);
    ASSERT_EQ(listFolder(folder).size(), 5000u + 1); // and the key of the first entry

    ProgramRun run = cli({"store", "list"});
    report("store list of 5000 entries (500 certificates)", run);
    ASSERT_EQ(run.status, 0) << run.err;
    std::set<std::string> listed;
    std::size_t lines = 0;
    for (std::size_t at = 0; at < run.out.size(); at = run.out.find('\n', at) + 1) {
        listed.insert(run.out.substr(at, 40));
        ++lines;
    }
    EXPECT_EQ(lines, valid.size());
    EXPECT_EQ(listed, valid);
    EXPECT_EQ(run.out.find("имя без сертификата"), std::string::npos);
    EXPECT_LT(run.peakRssKiB, kSmallRun);

    writeFile(work.file("данные.txt"), "данные");
    run = cli({"sign", "данные.txt", "--thumbprint", thumbprint});
    report("sign through a store of 5000 entries", run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LT(run.peakRssKiB, kSmallRun);
}

} // namespace
