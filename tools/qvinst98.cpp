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
      "simulated Windows machine loaded from a bundled sample, a .reg image, NT hive files or a "
      "Windows 95/98/Me SYSTEM.DAT, and reports each result as 'EXPORT -> RESULT'. Hives and "
      "SYSTEM.DAT are only read unless --commit.",
      "qvinst98"};
  app.set_version_flag("--version", std::string("qvinst98 ") + QVINST98_VERSION);
  app.add_option("--registry", options.registry,
                 "Machine image, its kind found from its first bytes: a .reg file (REGEDIT4, or "
                 "Version 5.00 in UTF-16LE or UTF-8), an NT hive (regf, mounted as SYSTEM) or a "
                 "Windows 95/98/Me SYSTEM.DAT (CREG); without it, a bundled sample machine "
                 "(Windows 98, or XP for --os of major version 5 or later)")
      ->type_name("FILE");
  app.add_option("--machine", options.machine,
                 "A bundled sample machine by name: win98, win98-setup (before the root device "
                 "exists) or winxp")
      ->type_name("NAME");
  app.add_option("--os", options.os,
                 "Windows version: win95, win98, winme, nt4, win2k, winxp, vista, win7, win10 or "
                 "MAJOR.MINOR; without it, the one the image names (a SOFTWARE hive's "
                 "CurrentVersion, a SYSTEM.DAT's VersionNumber), else winxp for hives and win98 "
                 "for the rest")
      ->type_name("NAME");
  app.add_flag("--no-admin", options.noAdmin, "Run with a token without the Administrators group");
  app.add_flag("--trace", options.trace, "Switch tracing on (lines go to standard error)");
  app.add_option("--fail", failures,
                 "Every call of the named platform call fails with CODE (decimal or 0x hex); "
                 "with @N only its Nth call, with @N+ its Nth and every later one, counted per "
                 "name from 1; repeatable")
      ->type_name("CALL=CODE[@N[+]]")
      ->allow_extra_args(false);
  bool listCalls = false;
  app.add_flag("--list-calls", listCalls, "List the platform calls that --fail can name, and exit");
  app.add_option("--save", options.save,
                 "Write the registry after the calls as a .reg file; it may name the .reg image "
                 "read, never a hive or a SYSTEM.DAT")
      ->type_name("FILE");
  app.add_option("--undo", options.undo,
                 "Write a .reg file that undoes the run: what the calls deleted or created, and "
                 "for hives and SYSTEM.DAT everything the run changed, --import included; with "
                 "--commit it names the commit's undo file, which must not exist")
      ->type_name("FILE");
  app.add_flag("--changes", options.changes,
               "List every change the calls made, one line each: deleted and created keys, "
               "deleted values, removed devices, created and removed nodes, deleted files");
  app.add_flag("--json", options.json,
               "Print one JSON document instead of the text lines: the image, the Windows version, "
               "the calls and their dialogs, every change, warnings and notes; errors too");
  app.add_option("--answer", options.answer, "How the dialogs are answered: yes, no, esc or close")
      ->type_name("ANSWER")
      ->capture_default_str();
  app.add_option("--windir", options.windir, "The simulated machine's Windows directory")
      ->type_name("DIR")
      ->capture_default_str();
  // Repeatable options take one value each, so that the calls after them stay calls.
  app.add_option("--file", options.files,
                 "A file that exists in the simulated machine (a Windows path); repeatable")
      ->type_name("PATH")
      ->allow_extra_args(false);
  app.add_option("--dir", options.dirs,
                 "A directory that exists in the simulated machine (a Windows path); repeatable")
      ->type_name("PATH")
      ->allow_extra_args(false);
  app.add_option("--unplugged", options.unplugged,
                 "A device instance whose key stays but whose node is not in the device tree; "
                 "repeatable")
      ->type_name("INSTANCE")
      ->allow_extra_args(false);
  app.add_option("--hive", options.hives,
                 "An NT registry hive file as the image: SYSTEM (mounted as HKLM\\SYSTEM) or "
                 "SOFTWARE (HKLM\\SOFTWARE); repeatable; only read unless --commit")
      ->type_name("NAME=FILE")
      ->allow_extra_args(false);
  app.add_option("--import", options.imports,
                 "A .reg file applied to the image after loading, before the calls (an undo "
                 "file, for instance); a key the image does not hold is refused; repeatable")
      ->type_name("FILE")
      ->allow_extra_args(false);
  app.add_flag("--commit", options.commit,
               "Write the changes into the hive files or the SYSTEM.DAT itself, after a "
               "byte-for-byte backup beside each (FILE.qvinst98.bak) and the undo .reg beside "
               "the first (FILE.qvinst98.undo.reg, unless --undo); a run that changes nothing "
               "writes nothing");
  app.add_option("--backup", options.backup,
                 "With --commit and one hive or a SYSTEM.DAT: the backup goes to this new file "
                 "(and the undo .reg to B.undo.reg for B.bak, unless --undo)")
      ->type_name("B");
  app.add_option("--save-hive", options.saveHive,
                 "Write the changed hive to this file and leave the original alone (one hive)")
      ->type_name("FILE");
  app.add_flag("--check", options.check,
               "Check the image alone (a SYSTEM.DAT structure by structure; a hive or .reg by "
               "loading it), print a summary and exit");
  app.add_option("--codepage", options.codepage,
                 "Code page of a SYSTEM.DAT's names and text: 1252 (the default), 874, 932, 936, "
                 "949, 950 or 1250 to 1258")
      ->type_name("N");
  app.add_option("--save-dat", options.saveDat,
                 "Write the changed SYSTEM.DAT to this file and leave the original alone")
      ->type_name("FILE");
  app.add_option("--windows", options.windows,
                 "The Windows folder of a mounted installation: its SYSTEM.DAT, or its "
                 "System32\\config\\SYSTEM and SOFTWARE hives, as the image, names found in "
                 "any case; its inf\\drvdata.bin and drvidx.bin as files (never deleted)")
      ->type_name("DIR");
  app.add_option("CALL", options.calls, "EXPORT or EXPORT=TEXT (TEXT is the third argument)")
      ->type_name("");

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
