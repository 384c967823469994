#pragma once
// Signed programs for tests. They are made by the build, not by the tests
// (scripts/test-signing.py: certificates from openssl, Authenticode
// signatures from osslsigncode, both of the build's machine), and lie
// beside the test executables in test-signed/, so that the very same files
// are judged under Wine and on a Windows runner, which has no signing tool.
#include <string>
#include <string_view>

namespace ombrel::testsupport {

// The path of the build `build` signed by `signer` (`signer` empty: the
// build unsigned); a test failure is added when the build made no such file.
// Builds: "service", "desktop", "xray" (ombrel-service and the desktop and
// proxy-core stand-ins as built); "desktop-9.1", "desktop-0.9" (the desktop
// stand-in with that version in its resource); "desktop-as-service-9.1"
// (the same, renamed "ombrel-service" inside its resource); "service-9.1",
// "service-0.9". Signers: "ours" and "renewed" (one publisher, two
// certificates from the test authority "/O=Ombrel test/CN=Ombrel test
// authority ca", subject "/O=Ombrel test/CN=Ombrel test ours"); "impostor"
// (that subject from another authority); "neighbour" (another subject of
// the same authority); "self" (self-signed, "/CN=Ombrel test self");
// "servers" (ours, for server authentication only); "expired" (ours, ending
// before it starts). scripts/test-signing.py says which pairs are made.
std::string signed_program(std::string_view build, std::string_view signer = {});

// Copies that file over `path`: true, or false with a test failure added.
bool put_signed_program(std::string_view build, std::string_view signer, const std::string& path);

// Flips one byte in the middle of the program's code, leaving its signature
// as it was: the signature no longer matches the content.
void damage_program(const std::string& path);

// Adds `bytes` inside a signed program's signature table, after its
// signature, growing the table over them: the signature still holds, and
// the bytes are signed by nobody.
void pad_signature_table(const std::string& path, std::string_view bytes);

}  // namespace ombrel::testsupport
