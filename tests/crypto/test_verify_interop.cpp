// Verification against other implementations: signatures made by `openssl cms -engine gost`
// (with and without signed attributes, DER and streamed BER, Base64 by `openssl base64`), the
// published TK26 and GOST engine vectors, and `plombar-cli verify` as a user runs it.

#include "VerifyTestUtil.h"

#include "codec/Base64.h"
#include "crypto/SignatureVerification.h"
#include "operations/VerifyFlow.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::operations;
using namespace plombar::test;

namespace {

const std::string kVectors = PLOMBAR_VERIFY_VECTORS;

// The verification flow's report of one run, and how often it showed the signer's certificate.
class RecordingView : public VerifyReport, public Interaction {
public:
    std::vector<std::string> lines;
    int views = 0;
    void clear() override { lines.clear(); }
    void addLine(const std::string& line) override { lines.push_back(line); }

    std::optional<std::size_t> chooseCertificate(const std::string&,
                                                 const std::vector<StoreEntry>&) override {
        return std::nullopt;
    }
    void showMessage(const std::string&) override {}
    void showCertificate(const Certificate&) noexcept override { ++views; }
    void openFolder(const std::string&) override {}
    PasswordSource& passwords() override { return noPasswords; }

private:
    ScriptedPasswords noPasswords{{}};
};

bool verifyFile(const std::string& signature, const std::string& data, RecordingView& view) {
    return verifySignatureFile({data, signature}, view, view).verified;
}

// The Base64 lines of a PEM file without its armour lines.
std::string pemBody(const std::string& pem) {
    std::string body;
    for (std::size_t at = 0; at < pem.size();) {
        const std::size_t end = pem.find('\n', at);
        const std::string line = pem.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.rfind("-----", 0) != 0)
            body += line + "\n";
        at = end == std::string::npos ? pem.size() : end + 1;
    }
    return body;
}

std::string derFromPem(const std::string& pem) {
    return decodeBase64(pemBody(pem));
}

X509Ptr certificateFromPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

// 0 when the message's first signer verifies over `content`, else the code of why not.
std::uint32_t verifyCode(const std::string& message, const std::string& content) {
    MemorySource signature(message);
    MemorySource data(content);
    VerifyOptions options;
    options.data = &data;
    try {
        const VerificationResult result = verifySignature(signature, options);
        return result.signers.at(0).valid ? 0 : result.signers.at(0).code;
    } catch (const CryptoError& error) {
        return error.code();
    }
}

class VerifyInteropTest : public ::testing::Test {
protected:
    // Writes the identity's certificate and key for the openssl command.
    void writeSigner(const TestIdentity& identity) {
        writeFile(dir.file("cert.pem"), identity.pem());
        writeFile(dir.file("key.pem"), identity.keyPem());
    }
    std::string opensslSign(const std::string& extra) {
        std::string log;
        const std::string out = dir.file("openssl.sig");
        EXPECT_EQ(runOpenssl("cms -sign -binary -engine gost -outform DER -in " + shellQuote(data) +
                                 " -signer " + shellQuote(dir.file("cert.pem")) + " -inkey " +
                                 shellQuote(dir.file("key.pem")) + " -out " + shellQuote(out) + " " + extra,
                             &log),
                  0)
            << log;
        return out;
    }

    TempDir dir{"plombar-verify-interop"};
    std::string data = dir.file("данные.bin");
};

} // namespace

TEST_F(VerifyInteropTest, OpensslSignaturesVerifyAndDamagedOnesDoNot) {
    const std::string content = std::string("line\nline\r\n\0\x1A", 13) + randomBytes(100000, 21);
    writeFile(data, content);
    struct Variant {
        const char* what;
        const char* options;
        bool verifies;
    };
    const Variant variants[] = {
        {"signed attributes", "", true},
        {"no signed attributes", "-noattr", true},
        {"streamed BER with attributes", "-stream", true},
        {"streamed BER without attributes", "-stream -noattr", true},
        {"without certificates", "-nocerts -noattr", false},
        {"attributes, without certificates", "-nocerts", false},
    };
    for (KeyAlgorithm algorithm : kGostAlgorithms) {
        IdentityFields fields;
        fields.algorithm = algorithm;
        fields.rdns = {{{"C", "RU"}}, {{"CN", "Подписант openssl"}}};
        fields.serial = std::string("\x0A\x0B\x0C", 3);
        const TestIdentity signer = makeIdentity(fields);
        writeSigner(signer);
        for (const Variant& v : variants) {
            SCOPED_TRACE(std::string(KeyAlgorithmName(algorithm)) + ", " + v.what);
            const std::string signature = opensslSign(v.options);
            RecordingView view;
            EXPECT_EQ(verifyFile(signature, data, view), v.verifies);
            if (v.verifies) {
                EXPECT_EQ(view.views, 1);
                EXPECT_EQ(view.lines, (std::vector<std::string>{kVerifyHeaderLine, kSignatureValidLine,
                                                                std::string(kSerialNumberPrefix) + "0A 0B0C",
                                                                kCertificateInPeriodLine, kSubjectHeaderLine,
                                                                "2.5.4.6=RU, 2.5.4.3=Подписант openssl",
                                                                kIssuerHeaderLine,
                                                                "2.5.4.6=RU, 2.5.4.3=Подписант openssl"}));
                // The same signature as Base64 text of `openssl base64` (64 characters a line, LF).
                const std::string p7s = dir.file("openssl.p7s");
                ASSERT_EQ(runOpenssl("base64 -in " + shellQuote(signature) + " -out " + shellQuote(p7s)), 0);
                RecordingView base64View;
                EXPECT_TRUE(verifyFile(p7s, data, base64View));
                EXPECT_EQ(base64View.lines, view.lines);
                // A changed byte of the data or of the signature value.
                const std::string message = readFile(signature);
                std::string changed = content;
                changed[50000] = static_cast<char>(changed[50000] ^ 0x80);
                EXPECT_NE(verifyCode(message, changed), 0u);
                EXPECT_NE(verifyCode(damageSignatureValue(message), content), 0u);
                EXPECT_EQ(verifyCode(message, content), 0u);
            } else {
                EXPECT_EQ(view.views, 0);
                EXPECT_EQ(view.lines, (std::vector<std::string>{kVerifyHeaderLine, kSignatureInvalidLine}));
                EXPECT_EQ(verifyCode(readFile(signature), content), winerr::CRYPT_E_NOT_FOUND);
            }
        }
    }
}

TEST_F(VerifyInteropTest, Tk26SignedDataHasNoCertificateAndVerifiesOnceOneIsAdded) {
    const std::string content = readFile(kVectors + "/tk26cms_plain_test_message.txt");
    ASSERT_EQ(content, "Test message");
    writeFile(data, content);
    for (const char* bits : {"256", "512"}) {
        SCOPED_TRACE(bits);
        const std::string vector = kVectors + "/tk26cms_signed_" + bits + ".der";
        RecordingView view;
        EXPECT_FALSE(verifyFile(vector, data, view));
        EXPECT_EQ(view.lines, (std::vector<std::string>{kVerifyHeaderLine, kSignatureInvalidLine}));
        EXPECT_EQ(view.views, 0);
        const std::string message = readFile(vector);
        EXPECT_EQ(verifyCode(message, content), winerr::CRYPT_E_NOT_FOUND);

        const X509Ptr certificate = certificateFromPem(readFile(kVectors + "/tk26_" + bits + "_signer.crt"));
        ASSERT_TRUE(certificate);
        const std::string withCertificate = addCertificate(message, certificate.get());
        EXPECT_EQ(verifyCode(withCertificate, content), 0u);
        EXPECT_EQ(verifyCode(withCertificate, "Test messagf"), winerr::NTE_BAD_SIGNATURE);
    }
}

TEST_F(VerifyInteropTest, EngineVectorsVerifyAsDetachedSignaturesOfTheirContent) {
    const std::string content = readFile(kVectors + "/engine_tc26_plain_signeddata.txt");
    ASSERT_EQ(content.size(), 44u);
    writeFile(data, content);
    struct Case {
        const char* file;
        std::uint32_t changedContentCode;
    };
    const Case cases[] = {
        {"engine_tc26_signed_a121.pem", winerr::NTE_BAD_SIGNATURE},  // no attributes, 2012-256
        {"engine_tc26_signed_a111.pem", winerr::CRYPT_E_HASH_VALUE}, // signed attributes, 2012-512
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string pem = readFile(kVectors + "/" + c.file);
        const std::string der = derFromPem(pem);
        EXPECT_EQ(verifyCode(der, content), 0u);
        EXPECT_EQ(verifyCode(der, content + "\n"), c.changedContentCode);

        const std::string sig = dir.file("vector.sig");
        writeFile(sig, der);
        RecordingView view;
        EXPECT_TRUE(verifyFile(sig, data, view));
        ASSERT_EQ(view.lines.size(), 8u);
        EXPECT_EQ(view.lines[1], kSignatureValidLine);

        // The PEM file itself verifies through its armour, and so do its Base64 lines without it.
        RecordingView pemView;
        EXPECT_TRUE(verifyFile(kVectors + "/" + c.file, data, pemView));
        const std::string body = pemBody(pem);
        const std::string p7s = dir.file("vector.p7s");
        writeFile(p7s, body);
        RecordingView base64View;
        EXPECT_TRUE(verifyFile(p7s, data, base64View));
        EXPECT_EQ(base64View.lines, view.lines);
    }
}

TEST_F(VerifyInteropTest, EnvelopedVectorIsTheWrongMessageType) {
    EXPECT_EQ(verifyCode(readFile(kVectors + "/tk26cms_ktri_256.der"), "Test message"),
              winerr::CRYPT_E_UNEXPECTED_MSG_TYPE);
}

// ---- plombar-cli verify --------------------------------------------------------------------------

namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

CliRun runCli(const std::string& arguments) {
    TempDir scratch("plombar-verify-cli");
    CliRun run;
    run.status = runCommand(shellQuote(PLOMBAR_CLI_PATH) + " verify " + arguments + " 2>" +
                                shellQuote(scratch.file("err")),
                            &run.out);
    run.err = readFile(scratch.file("err"));
    return run;
}

std::string lines(std::initializer_list<std::string> list) {
    std::string text;
    for (const auto& line : list)
        text += line + "\n";
    return text;
}

} // namespace

TEST_F(VerifyInteropTest, CommandLineExitCodesAndReport) {
    const std::string content = randomBytes(5000, 2);
    writeFile(data, content);
    IdentityFields fields;
    fields.rdns = {{{"C", "RU"}}, {{"CN", "Подписант"}}};
    fields.serial = std::string("\x01\x02\x03", 3);
    const TestIdentity signer = makeIdentity(fields);
    const std::string sig = dir.file("подпись.sig");
    writeFile(sig, cmsSign(signer, content));
    const std::string bad = dir.file("плохая.sig");
    writeFile(bad, damageSignatureValue(cmsSign(signer, content)));
    const std::string missing = dir.file("нет.sig");

    const std::string attached = dir.file("прикреплённая.p7s");
    writeFile(attached, encodeBase64(cmsSign(signer, content, attachedMessage())));
    const std::string extracted = dir.file("извлечено.bin");

    // A self-signed certificate that no Root store holds: the trust lines say so, the verdict
    // stays the signature's.
    const std::string verified =
        lines({kVerifyHeaderLine, kSignatureValidLine, std::string(kSerialNumberPrefix) + "01 0203",
               kCertificateInPeriodLine, kSubjectHeaderLine, "2.5.4.6=RU, 2.5.4.3=Подписант",
               kIssuerHeaderLine, "2.5.4.6=RU, 2.5.4.3=Подписант",
               "X Цепочка сертификатов не построена: корневой сертификат «Подписант» не входит в доверенные",
               "? Статус отзыва не проверен: не найден издатель сертификата «Подписант» для проверки "
               "списка отзыва"});
    struct Case {
        const char* what;
        std::string arguments;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"verified", shellQuote(data) + " " + shellQuote(sig), 0, verified, ""},
        {"options ended by --", "-- " + shellQuote(data) + " " + shellQuote(sig), 0, verified, ""},
        {"not verified", shellQuote(data) + " " + shellQuote(bad), 1,
         lines({kVerifyHeaderLine, kSignatureInvalidLine}), ""},
        {"arguments swapped", shellQuote(sig) + " " + shellQuote(data), 1,
         lines({kVerifyHeaderLine, kSignatureInvalidLine}), ""},
        {"signature missing", shellQuote(data) + " " + shellQuote(missing), 2, "",
         "plombar-cli: File not found.\n"},
        {"data missing", shellQuote(missing) + " " + shellQuote(sig), 2, "",
         "plombar-cli: Cannot open file \"" + missing + "\". " + systemMessage(2, MessageLanguage::English) +
             ".\n"},
        {"attached, no data file", shellQuote(attached), 0, verified, ""},
        {"attached, extracted", "--extract " + shellQuote(extracted) + " " + shellQuote(attached), 0,
         verified, ""},
        {"detached, no data file", shellQuote(sig), 2, "",
         "plombar-cli: Подпись отсоединённая: для её проверки нужен подписанный файл.\n"},
        {"--extract with a data file", "--extract x " + shellQuote(data) + " " + shellQuote(sig), 2, "",
         "plombar-cli: --extract — только для проверки без файла данных\n"},
        {"no file", "", 2, "", "plombar-cli: укажите файл подписи\n"},
        {"three files", shellQuote(data) + " " + shellQuote(sig) + " x", 2, "",
         "plombar-cli: лишние аргументы после файла подписи\n"},
        {"unknown option", "--nonsense " + shellQuote(data) + " " + shellQuote(sig), 2, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CliRun run = runCli("--offline " + c.arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, c.out);
        if (!c.err.empty()) {
            EXPECT_EQ(run.err, c.err);
        } else if (c.status == 2) {
            EXPECT_FALSE(run.err.empty());
        }
    }
    EXPECT_EQ(readFile(extracted), content);
}

TEST_F(VerifyInteropTest, CommandLineCertificateOptionAndHelp) {
    writeFile(data, "содержимое");
    IdentityFields fields;
    fields.subject = "CN=Подписант";
    const TestIdentity signer = makeIdentity(fields);
    const std::string sig = dir.file("подпись.sig");
    writeFile(sig, cmsSign(signer, "содержимое"));

    const CliRun run = runCli("--certificate " + shellQuote(data) + " " + shellQuote(sig));
    EXPECT_EQ(run.status, 0) << run.err;
    const std::size_t header = run.out.find(std::string(kVerifyHeaderLine) + "\n");
    const std::size_t issuedTo = run.out.find("    Кому выдан: Подписант\n");
    const std::size_t thumbprint = run.out.find("    Отпечаток (SHA-1): " + signer.thumbprint() + "\n");
    const std::size_t valid = run.out.find(std::string(kSignatureValidLine) + "\n");
    EXPECT_EQ(header, 0u);
    EXPECT_LT(header, issuedTo);
    EXPECT_LT(issuedTo, thumbprint);
    EXPECT_LT(thumbprint, valid);
    EXPECT_NE(valid, std::string::npos);

    const CliRun help = runCli("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* part : {"plombar-cli verify ДАННЫЕ ПОДПИСЬ", "--certificate", "Коды выхода:",
                             "  0  подпись математически верна", "  1  подпись не верна", "  2  ошибка"})
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
}

// Names made to forge the verdict line or to hide the issuer on a terminal come out escaped on
// their own lines, in the report and in the printed certificate.
TEST_F(VerifyInteropTest, CommandLineShowsHostileNamesEscaped) {
    writeFile(data, "содержимое");
    IdentityFields authorityFields;
    authorityFields.rdns = {{{"CN", "\x1B[8mНастоящий УЦ\x1B[0mДоверенный УЦ"}}};
    const TestIdentity authority = makeIdentity(authorityFields);
    IdentityFields fields;
    fields.rdns = {{{"CN", std::string("\n") + kSignatureValidLine}}};
    fields.serial = "\x05";
    fields.issuer = &authority;
    writeFile(dir.file("подпись.sig"), cmsSign(makeIdentity(fields), "содержимое"));
    const CliRun run =
        runCli("--certificate " + shellQuote(data) + " " + shellQuote(dir.file("подпись.sig")));
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string issuer = "\\x1B[8mНастоящий УЦ\\x1B[0mДоверенный УЦ";
    for (const std::string& line :
         {"    Кому выдан: \\n" + std::string(kSignatureValidLine) + "\n", "    Кем выдан: " + issuer + "\n",
          lines({kSubjectHeaderLine, "2.5.4.3=\"\\n" + std::string(kSignatureValidLine) + "\"",
                 kIssuerHeaderLine, "2.5.4.3=" + issuer})})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\nin\n" << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 20)
        << run.out; // 8 report, 2 trust, 10 certificate
    EXPECT_EQ(run.out.find('\x1B'), std::string::npos);
}
