// qvinst98: runs the library's exports against a simulated Windows machine
// loaded from a registry image, and shows exactly what they would change.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "DatTool.h"
#include "ImageError.h"
#include "JsonReport.h"
#include "ToolRun.h"

namespace {

// The one-line message of an error that ends the run, and with --json the
// same as a JSON document on standard output.
int refuse(bool json, const std::string& message) {
  std::cerr << "qvinst98: " << message << '\n';
  if (json) tool::writeJsonError(std::cout, message, 2);
  return 2;
}

int runCommandLine(int argc, char** argv) {
  tool::Options options;
  const bool json = tool::wantsJson(argc, argv);
  std::vector<std::string> failures;

  CLI::App app{
      "Runs QVInst98 exports, in the order given and in one load of the library, against a "
      "simulated Windows machine, and reports each result as 'EXPORT -> RESULT'.",
      "qvinst98"};
  app.set_version_flag("--version", std::string("qvinst98 ") + QVINST98_VERSION);
  app.add_option("--registry", options.registry,
                 "Registry image (.reg) to load; without it, a bundled sample machine "
                 "(Windows 98, or XP for --os of major version 5 or later)");
  app.add_option("--machine", options.machine,
                 "A bundled sample machine by name: win98 (the default), win98-setup (before the "
                 "root device exists) or winxp");
  app.add_option("--os", options.os,
                 "Windows version: win95, win98, winme, nt4, win2k, winxp, vista, win7, win10 or "
                 "MAJOR.MINOR")
      ->capture_default_str();
  app.add_flag("--no-admin", options.noAdmin, "Token without the Administrators group");
  app.add_flag("--trace", options.trace, "Switch tracing on (lines go to standard error)");
  app.add_option("--fail", failures,
                 "CALL=CODE: every call of the named platform call fails with CODE (decimal or "
                 "0x hex); CALL=CODE@N only its Nth call, CALL=CODE@N+ its Nth and every later "
                 "one; repeatable")
      ->allow_extra_args(false);
  bool listCalls = false;
  app.add_flag("--list-calls", listCalls, "List the platform calls that --fail can name, and exit");
  app.add_option("--save", options.save, "Write the registry after the calls as a .reg file");
  app.add_option("--undo", options.undo,
                 "Write a .reg file that puts back everything the calls deleted");
  app.add_flag("--changes", options.changes, "List what the calls changed, one line each");
  app.add_flag("--json", options.json,
               "Print one JSON document instead of the text lines: the calls, the dialogs, every "
               "change, the image and the warnings; errors too");
  app.add_option("--answer", options.answer, "Dialog answer: yes, no, esc or close")
      ->capture_default_str();
  app.add_option("--windir", options.windir, "The Windows directory")->capture_default_str();
  // Repeatable options take one value each, so that the calls after them stay calls.
  app.add_option("--file", options.files, "A file that exists; repeatable")
      ->allow_extra_args(false);
  app.add_option("--dir", options.dirs, "A directory that exists; repeatable")
      ->allow_extra_args(false);
  app.add_option("--unplugged", options.unplugged,
                 "A device instance whose key stays but whose node is not in the device tree; "
                 "repeatable")
      ->allow_extra_args(false);
  app.add_option("--hive", options.hives,
                 "NAME=FILE: a registry hive file as the image, SYSTEM (mounted as HKLM\\SYSTEM) "
                 "or SOFTWARE (HKLM\\SOFTWARE); repeatable; --os defaults to winxp; read-only "
                 "unless --commit")
      ->allow_extra_args(false);
  app.add_option("--import", options.imports,
                 "A .reg file applied to the image after loading, before the calls (an undo "
                 "file, for instance); repeatable")
      ->allow_extra_args(false);
  app.add_flag("--commit", options.commit,
               "Write the changes into the hive files, after a byte-for-byte backup beside each "
               "(FILE.qvinst98.bak) and the undo .reg (FILE.qvinst98.undo.reg unless --undo)");
  app.add_option("--backup", options.backup,
                 "With --commit: the backup of the one hive goes to this new file");
  app.add_option("--save-hive", options.saveHive,
                 "Write the changed hive to this file and leave the original alone");
  app.add_flag("--check", options.check,
               "Check the image's structure alone (a CREG file record by record; a hive or .reg "
               "by loading it), print a summary and exit");
  app.add_option("--codepage", options.codepage,
                 "Code page of a CREG file's names and text (default 1252)");
  app.add_option("--save-dat", options.saveDat,
                 "Write the changed CREG file to this file and leave the original alone");
  app.add_option("--windows", options.windows,
                 "The Windows folder of a mounted installation: its SYSTEM.DAT, or its "
                 "System32\\config\\SYSTEM and SOFTWARE hives, as the image");
  app.add_option("CALL", options.calls, "EXPORT or EXPORT=TEXT (TEXT is the third argument)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return refuse(json, std::string(e.what()) + " (see --help)");
  }

  if (listCalls) {
    tool::listPlatformCalls(std::cout);
    return 0;
  }
  try {
    for (const auto& failure : failures) options.failures.push_back(tool::parseFailure(failure));
    options.osGiven = app.count("--os") > 0;
    tool::applyWindowsDir(options);
    return tool::run(options, std::cout, std::cerr);
  } catch (const tool::UsageError& e) {
    return refuse(json, e.what());
  } catch (const image::Error& e) {  // an image or file the tool cannot work with
    return refuse(json, e.what());
  } catch (const std::exception& e) {
    return refuse(json, e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing unwinds out of the tool: an error that escapes the command line's
  // own handling still ends with one line and a failure status.
  try {
    return runCommandLine(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qvinst98: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "qvinst98: unexpected error\n");
  }
  return 1;
}
