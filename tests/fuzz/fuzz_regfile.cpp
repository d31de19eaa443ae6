// The .reg reader, and what nrvdry does with what it read, on any bytes.
// A file that does not read gives a line in it and a message of printable
// ASCII. A file that reads is carried out on a fresh machine; the machine's
// change is written in both styles (plain ASCII for people, the registry
// editor's own), each written file reads back, and carried out on another
// fresh machine it gives the same registry. A violation aborts; the address
// and undefined-behaviour sanitizers watch every buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "regfile.h"
#include "sim.h"

namespace {

[[noreturn]] void Fail(const std::string &what, const std::string &detail) {
  std::fprintf(stderr, "fuzz_regfile: %s\n%s\n", what.c_str(), detail.c_str());
  std::abort();
}

bool PrintableAscii(const std::string &s) {
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u != '\n' && (u < 0x20 || u >= 0x7F)) return false;
  }
  return true;
}

// The machine the file's entries give, or null when the machine refused one.
sim::KeyPicturePtr Carry(const std::string &bytes, sim::Os os) {
  std::string text;
  regfile::Error error;
  if (!regfile::Decode(bytes, &text, &error)) Fail("decode refused a file that parsed", error.message);
  sim::Reset(os);
  if (!regfile::ApplyText(text, &error)) {
    if (error.message.rfind("the machine refused this entry: ", 0) != 0) Fail("read differed when applied", error.message);
    return nullptr;
  }
  return sim::PictureRegistry();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string bytes(reinterpret_cast<const char *>(data), size);
  regfile::File file;
  regfile::Error error;
  if (!regfile::Parse(bytes, &file, &error)) {
    if (error.line < 1 || error.message.empty() || !PrintableAscii(error.message)) {
      Fail("a bad file's error is not a line and a printable message", error.message);
    }
    return 0;
  }
  for (sim::Os os : {sim::Os::WinXP, sim::Os::Win98}) {
    sim::Reset(os);
    sim::KeyPicturePtr empty = sim::PictureRegistry();
    sim::KeyPicturePtr first = Carry(bytes, os);
    if (!first) continue;
    for (regfile::Style style : {regfile::Style::kPlain, regfile::Style::kEditor}) {
      std::string diff = regfile::WriteDiff(*empty, *first, style);
      if (style == regfile::Style::kPlain && !PrintableAscii(diff)) Fail("plain text holds a raw byte", diff);
      std::string written = style == regfile::Style::kPlain ? diff : regfile::ForRegistryEditor(diff);
      regfile::File back;
      if (!regfile::Parse(written, &back, &error)) {
        Fail("written file does not read back: line " + std::to_string(error.line) + ": " + error.message, diff);
      }
      // Carried out on a fresh machine of the same system, the written
      // change gives the same registry.
      sim::KeyPicturePtr second = Carry(written, os);
      if (!second) Fail("the machine refused what it wrote", diff);
      if (regfile::HasChanges(*first, *second)) {
        Fail("read back to another registry", diff + "\n--- differs by\n" + regfile::WriteDiff(*first, *second));
      }
    }
  }
  return 0;
}
