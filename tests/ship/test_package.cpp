// What is shipped: the desktop entry and the AppStream data pass their validators, `cmake --install`
// lays out the files, and the .deb package holds the same files and depends on what the program
// loads at run time.

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

using namespace plombar::test;

namespace {

const std::string kAppId = "ru.plombar.Plombar";
const std::string kData = std::string(PLOMBAR_SOURCE_DIR) + "/data/";

// The files `cmake --install` puts under its prefix.
const std::vector<std::string> kInstalled = {
    "bin/plombar",
    "bin/plombar-cli",
    "share/applications/" + kAppId + ".desktop",
    "share/doc/plombar/README.md",
    "share/icons/hicolor/scalable/apps/" + kAppId + ".svg",
    "share/metainfo/" + kAppId + ".metainfo.xml",
    "share/mime/packages/" + kAppId + ".xml",
};

bool haveCommand(const std::string& name) {
    return runCommand("command -v " + shellQuote(name) + " >/dev/null 2>&1") == 0;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Every file under `root`, as paths relative to it, sorted.
std::vector<std::string> filesUnder(const std::string& root) {
    std::string listing;
    runCommand("cd " + shellQuote(root) + " && find . -type f -o -type l | sed 's|^\\./||' | LC_ALL=C sort",
               &listing);
    return linesOf(listing);
}

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) == 0111;
}

std::map<std::string, std::string> desktopEntry(const std::string& path) {
    std::map<std::string, std::string> keys;
    bool inGroup = false;
    for (const std::string& line : linesOf(readFile(path))) {
        if (!line.empty() && line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto eq = line.find('=');
        if (inGroup && eq != std::string::npos)
            keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

// The package names of a Depends field (alternatives and versions dropped).
std::set<std::string> packageNames(const std::string& depends) {
    std::set<std::string> names;
    std::string name;
    bool inName = true;
    for (const char c : depends + ",") {
        if (c == ',' || c == '|') {
            if (!name.empty())
                names.insert(name);
            name.clear();
            inName = true;
        } else if (c == ' ' || c == '(') {
            inName = inName && name.empty();
        } else if (inName) {
            name += c;
        }
    }
    return names;
}

} // namespace

TEST(DesktopEntry, PassesTheValidator) {
    if (!haveCommand("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
    std::string output;
    const int status =
        runCommand("desktop-file-validate " + shellQuote(kData + kAppId + ".desktop") + " 2>&1", &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("error:"), std::string::npos) << output;
    EXPECT_EQ(output.find("warning:"), std::string::npos) << output;
}

TEST(DesktopEntry, StartsTheWindowUnderItsName) {
    const auto keys = desktopEntry(kData + kAppId + ".desktop");
    const std::map<std::string, std::string> expected = {
        {"Type", "Application"},
        {"Name", "Пломбарь"},
        {"Name[ru]", "Пломбарь"},
        {"Exec", "plombar %f"},
        {"Icon", kAppId},
        {"Terminal", "false"},
        {"MimeType", "application/pkcs7-signature;application/pkcs7-mime;"},
    };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(keys.count(key) ? keys.at(key) : "(missing)", value) << key;
    for (const char* key : {"GenericName", "GenericName[ru]", "Comment", "Comment[ru]"})
        EXPECT_FALSE(keys.count(key) == 0 || keys.at(key).empty()) << key;
    const std::string categories = keys.count("Categories") ? keys.at("Categories") : "";
    for (const char* category : {"Office;", "Security;"})
        EXPECT_NE(categories.find(category), std::string::npos) << categories;
}

TEST(AppStream, PassesTheValidator) {
    if (!haveCommand("appstreamcli"))
        GTEST_SKIP() << "appstreamcli is not installed (appstream)";
    std::string output;
    const int status = runCommand(
        "appstreamcli validate --no-net " + shellQuote(kData + kAppId + ".metainfo.xml") + " 2>&1", &output);
    EXPECT_EQ(status, 0) << output;
    for (const std::string& line : linesOf(output))
        EXPECT_TRUE(line.rfind("E:", 0) != 0 && line.rfind("W:", 0) != 0) << line;
}

TEST(AppStream, DescribesThisRelease) {
    const std::string xml = readFile(kData + kAppId + ".metainfo.xml");
    for (const std::string& needle :
         {"<id>" + kAppId + "</id>", "<launchable type=\"desktop-id\">" + kAppId + ".desktop</launchable>",
          std::string("<release version=\"") + PLOMBAR_VERSION + "\"",
          std::string("<content_rating type=\"oars-1.1\""), std::string("<binary>plombar</binary>"),
          std::string("<binary>plombar-cli</binary>"), std::string("<project_license>"),
          std::string("<mediatype>application/pkcs7-signature</mediatype>"),
          std::string("<mediatype>application/pkcs7-mime</mediatype>"), std::string("<name>Пломбарь</name>"),
          std::string("<summary xml:lang=\"ru\">")})
        EXPECT_NE(xml.find(needle), std::string::npos) << needle;
}

// The desktop's type database, rebuilt with our types beside the system's, knows .sig, .p7s and .enc
// as the types the desktop entry opens, and tells a DER signature apart from an OpenPGP one by its
// header.
TEST(MimeTypes, NameTheFilesTheWindowOpens) {
    if (!haveCommand("update-mime-database"))
        GTEST_SKIP() << "update-mime-database is not installed (shared-mime-info)";
    TempDir share("plombar-mime");
    const std::string packages = share.file("mime/packages");
    ASSERT_EQ(runCommand("mkdir -p " + shellQuote(packages)), 0);
    runCommand("cp /usr/share/mime/packages/freedesktop.org.xml " + shellQuote(packages) + " 2>/dev/null");
    ASSERT_EQ(runCommand("cp " + shellQuote(kData + kAppId + ".xml") + " " + shellQuote(packages)), 0);
    std::string log;
    ASSERT_EQ(runCommand("update-mime-database " + shellQuote(share.file("mime")) + " 2>&1", &log), 0) << log;
    const std::string globs = readFile(share.file("mime/globs2"));
    for (const char* line : {"application/pkcs7-signature:*.sig\n", "application/pkcs7-mime:*.enc\n"})
        EXPECT_NE(globs.find(line), std::string::npos) << line << " missing in\n" << globs;
    const std::string magic = readFile(share.file("mime/magic"));
    for (const char* type : {"application/pkcs7-signature", "application/pkcs7-mime"})
        EXPECT_NE(magic.find(type), std::string::npos) << type;
}

TEST(Icon, IsAScalableSquareSvg) {
    const std::string svg = readFile(kData + kAppId + ".svg");
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_NE(svg.find("viewBox=\"0 0 128 128\""), std::string::npos);
    EXPECT_EQ(svg.find("<text"), std::string::npos) << "text would depend on the fonts at hand";
    EXPECT_EQ(svg.find("xlink:href"), std::string::npos) << "an icon must not refer to other files";
}

TEST(Install, LaysOutTheFiles) {
    TempDir prefix("plombar-install");
    std::string log;
    const int status = runCommand(shellQuote(PLOMBAR_CMAKE) + " --install " + shellQuote(PLOMBAR_BINARY_DIR) +
                                      " --prefix " + shellQuote(prefix.path()) + " 2>&1",
                                  &log);
    ASSERT_EQ(status, 0) << log;
    EXPECT_EQ(filesUnder(prefix.path()), kInstalled);
    EXPECT_TRUE(executable(prefix.file("bin/plombar")));
    std::string version;
    EXPECT_EQ(runCommand(shellQuote(prefix.file("bin/plombar-cli")) + " --version", &version), 0);
    EXPECT_EQ(version, std::string("plombar-cli ") + PLOMBAR_VERSION + "\n");
    EXPECT_EQ(readFile(prefix.file("share/applications/" + kAppId + ".desktop")),
              readFile(kData + kAppId + ".desktop"));
}

TEST(DebPackage, HoldsTheFilesAndNamesWhatTheyNeed) {
    if (!haveCommand("dpkg-deb") || !haveCommand("dpkg-shlibdeps"))
        GTEST_SKIP() << "dpkg-deb or dpkg-shlibdeps is missing (dpkg-dev)";
    TempDir out("plombar-deb");
    std::string log;
    const int status = runCommand(shellQuote(PLOMBAR_CPACK) + " -G DEB --config " +
                                      shellQuote(std::string(PLOMBAR_BINARY_DIR) + "/CPackConfig.cmake") +
                                      " -B " + shellQuote(out.path()) + " 2>&1",
                                  &log);
    ASSERT_EQ(status, 0) << log;
    std::string architecture;
    runCommand("dpkg --print-architecture", &architecture);
    architecture = architecture.substr(0, architecture.find('\n'));
    const std::string deb = out.file(std::string("plombar_") + PLOMBAR_VERSION + "_" + architecture + ".deb");
    ASSERT_TRUE(fileExists(deb)) << log;

    std::string fields;
    ASSERT_EQ(runCommand("dpkg-deb -f " + shellQuote(deb) + " Package Version Architecture Section", &fields),
              0);
    EXPECT_EQ(fields, std::string("Package: plombar\nVersion: ") + PLOMBAR_VERSION +
                          "\nArchitecture: " + architecture + "\nSection: utils\n");
    std::string depends;
    ASSERT_EQ(runCommand("dpkg-deb -f " + shellQuote(deb) + " Depends", &depends), 0);
    const std::set<std::string> names = packageNames(depends.substr(0, depends.find('\n')));
    for (const char* needed : {"libqt6widgets6", "libqt6gui6", "libqt6core6", "qt6-qpa-plugins", "libssl3",
                               "libengine-gost-openssl", "p7zip-full", "xdg-utils", "qt6-translations-l10n",
                               "fonts-dejavu-core", "libc6", "libstdc++6"})
        EXPECT_EQ(names.count(needed), 1u) << needed << " missing in " << depends;
    // The 7-Zip 23+ library, not the old p7zip one whose interface layout the loader refuses.
    EXPECT_NE(depends.find("p7zip-full (>= 16.02+really23)"), std::string::npos) << depends;

    const std::string root = out.file("root");
    ASSERT_EQ(runCommand("dpkg -x " + shellQuote(deb) + " " + shellQuote(root)), 0);
    std::vector<std::string> expected;
    for (const auto& file : kInstalled)
        expected.push_back("usr/" + file);
    EXPECT_EQ(filesUnder(root), expected);
    EXPECT_TRUE(executable(root + "/usr/bin/plombar"));
    std::string version;
    EXPECT_EQ(runCommand(shellQuote(root + "/usr/bin/plombar-cli") + " --version", &version), 0);
    EXPECT_EQ(version, std::string("plombar-cli ") + PLOMBAR_VERSION + "\n");
    // Stripped: the package carries no debugging sections.
    std::string sections;
    runCommand("readelf -S " + shellQuote(root + "/usr/bin/plombar") + " 2>/dev/null", &sections);
    EXPECT_EQ(sections.find(".debug_info"), std::string::npos);
}
