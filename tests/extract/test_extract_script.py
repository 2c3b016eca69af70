"""The extraction script as the program carries and calls it: Windows
PowerShell 5.1 syntax, a check that fails closed on an old .NET, and paths
that PowerShell never reads as code."""

import json
import os
import subprocess
import unittest

import extractrun as xr
import zipfixtures as zf
from zipfixtures import Entry

# Commands the script may call, with the parameters Windows PowerShell 5.1 knows.
ALLOWED_COMMANDS = {"Add-Type": {"AssemblyName"}, "ConvertFrom-Json": set(), "Assert-NoLink": set()}

GUARD = r"""
$tokens = $null; $errors = $null
$ast = [System.Management.Automation.Language.Parser]::ParseFile($env:LUMETRA_T_SCRIPT, [ref]$tokens, [ref]$errors)
@{
  errors = @($errors | ForEach-Object { $_.Message })
  newer = @($ast.FindAll({ param($n) 'TernaryExpressionAst', 'PipelineChainAst' -contains $n.GetType().Name }, $true) | ForEach-Object { $_.Extent.Text }) +
          @($tokens | Where-Object { 'QuestionQuestion','QuestionQuestionEquals','QuestionDot','QuestionLBracket','AndAnd','OrOr' -contains [string]$_.Kind } | ForEach-Object { $_.Text })
  commands = @($ast.FindAll({ param($n) $n -is [System.Management.Automation.Language.CommandAst] }, $true) | ForEach-Object {
    @{ name = $_.GetCommandName(); parameters = @($_.CommandElements | Where-Object { $_ -is [System.Management.Automation.Language.CommandParameterAst] } | ForEach-Object { $_.ParameterName }) } })
  top = @($ast.EndBlock.Statements | ForEach-Object { $_.GetType().Name + ':' + $_.Name })
} | ConvertTo-Json -Depth 5 -Compress
"""

OLD_DOTNET = "系统 .NET 版本过旧，无法安全校验升级包"

# Each would run code if PowerShell read a path as code: it creates PWNED.
HOSTILE = ["a" + q + "$(New-Item -ItemType File -Path PWNED)" + q + "b"
           for q in ("'", "\u2018", "\u2019", "\u201a", "\u201b")] + [
    "$(New-Item -ItemType File -Path PWNED)", "`$(New-Item -ItemType File -Path PWNED)`",
    "x; New-Item -ItemType File -Path PWNED; "]


def pwned(root):
    return [os.path.join(d, f) for d, _, files in os.walk(root) for f in files if "PWNED" == f]


class ScriptFile(unittest.TestCase):
    def pwsh(self, command, **env):
        _, pwsh = xr.programs()
        ws = xr.Workspace()
        self.addCleanup(ws.close)
        done = subprocess.run([pwsh, "-NoLogo", "-NoProfile", "-NonInteractive", "-Command", command],
                              env=dict(ws.env(), **env), capture_output=True, timeout=xr.TIME_LIMIT)
        return done.stdout.decode("utf-8").strip()

    def test_windows_powershell_5_1_syntax_and_nothing_but_the_function(self):
        with open(xr.SCRIPT, "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith(b"\xef\xbb\xbf"))
        self.assertNotIn(b"\r", raw)
        report = json.loads(self.pwsh(GUARD, LUMETRA_T_SCRIPT=xr.SCRIPT))
        self.assertEqual(report["errors"], [])
        self.assertEqual(report["newer"], [], "PowerShell 6+ syntax")
        for command in report["commands"]:
            self.assertLessEqual(set(command["parameters"]), ALLOWED_COMMANDS[command["name"]])
        self.assertEqual(report["top"], ["FunctionDefinitionAst:Expand-LumetraPackage"])

    def test_an_entry_without_external_attributes_is_refused(self):
        # The script's own check, run on a real entry and on one from a .NET
        # that lacks the property.
        with open(xr.SCRIPT, encoding="utf-8") as f:
            [check] = [line for line in f if OLD_DOTNET in line]
        ws = xr.Workspace()
        self.addCleanup(ws.close)
        package = zf.package(ws.path("p.zip"))
        for entry, expected in (("[pscustomobject]@{FullName='a'; Length=1}", OLD_DOTNET),
                                ("$z.Entries[0]", "passed")):
            command = ("Add-Type -AssemblyName System.IO.Compression.FileSystem; "
                       "$z = [IO.Compression.ZipFile]::OpenRead($env:P); $e = " + entry +
                       "; try {" + check + "; 'passed' } catch { $_.Exception.Message }")
            self.assertEqual(self.pwsh(command, P=package), expected, entry)


class PathsAreNeverCode(unittest.TestCase):
    """The real program with PowerShell's quote characters, $(...), backticks
    and ; in the package, destination and temporary directory paths."""

    def run_row(self, hostile):
        updater, _ = xr.programs()
        ws = xr.Workspace()
        self.addCleanup(ws.close)
        place = ws.path(hostile)
        os.makedirs(os.path.join(place, "tmp"))
        good = zf.package(os.path.join(place, hostile + ".zip"), [Entry("bin/" + hostile + ".dll", b"x")])
        refused = zf.package(os.path.join(place, "refused " + hostile + ".zip"), [Entry("../x.dll")])
        env = dict(ws.env(), TMPDIR=os.path.join(place, "tmp"))
        results = []
        # The first run reaches the call with a plain destination, the second with a hostile one.
        for package, target in ((good, ws.path("good")), (refused, os.path.join(place, "refused" + hostile))):
            os.makedirs(target)
            done = subprocess.run([updater, "--package", package, "--target", target, "--verify-extract", "1"],
                                  env=env, cwd=ws.root, capture_output=True, timeout=xr.TIME_LIMIT)
            results.append((done.returncode, xr.listing(target), xr.read_text(target + ".error.txt")))
        return results, pwned(ws.root)

    def test_no_code_runs_and_the_right_files_are_extracted(self):
        for hostile, (results, found) in zip(HOSTILE, xr.parallel(self.run_row, HOSTILE)):
            with self.subTest(hostile=hostile):
                self.assertEqual(found, [])
                self.assertEqual(results[0], (0, sorted(zf.REQUIRED + ["bin/", "bin/%s.dll" % hostile]), None))
                self.assertEqual(results[1], (4, [], "升级包路径包含越界或Windows保留名称"))

    def test_an_update_staged_below_a_hostile_temporary_directory(self):
        updater, _ = xr.programs()
        ws = xr.Workspace()
        self.addCleanup(ws.close)
        tmp = ws.path("O\u2019Brien\u2018\u201a\u201b'" + HOSTILE[5] + HOSTILE[6] + HOSTILE[7])
        target = ws.path("install")
        os.makedirs(tmp)
        os.makedirs(target)
        app = Entry("Lumetra.exe", b"#!/bin/sh\nexit 0\n", attr=0o100755 << 16)
        package = zf.write(ws.path("p.zip"), [app] + zf.required(skip=["Lumetra.exe"]))
        done = subprocess.run([updater, "--package", package, "--target", target], env=dict(ws.env(), TMPDIR=tmp),
                              cwd=ws.root, capture_output=True, timeout=xr.TIME_LIMIT)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        self.assertEqual(xr.read_text(os.path.join(target, "release.json")), zf.MANIFEST.decode())
        self.assertEqual(pwned(ws.root), [])


if __name__ == "__main__":
    unittest.main()
