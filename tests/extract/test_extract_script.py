"""The extraction script as a file: its encoding, what loading it defines,
that Windows PowerShell 5.1 can run it (checked with PowerShell's own parser),
and that it leaves room for long paths in the command line."""

import json
import math
import subprocess
import unittest

import extractrun as xr

# Commands the script may call, with the parameters that Windows PowerShell
# 5.1 knows for them.
ALLOWED_COMMANDS = {"Add-Type": {"AssemblyName"}, "ConvertFrom-Json": set(), "Assert-NoLink": set()}

GUARD = r"""
$tokens = $null; $errors = $null
$ast = [System.Management.Automation.Language.Parser]::ParseFile($env:LUMETRA_T_SCRIPT, [ref]$tokens, [ref]$errors)
$newer = 'TernaryExpressionAst', 'PipelineChainAst'
$report = [ordered]@{
  errors = @($errors | ForEach-Object { $_.Message })
  newer_nodes = @($ast.FindAll({ param($n) $newer -contains $n.GetType().Name }, $true) | ForEach-Object { $_.Extent.Text })
  newer_tokens = @($tokens | Where-Object { 'QuestionQuestion','QuestionQuestionEquals','QuestionDot','QuestionLBracket','AndAnd','OrOr' -contains [string]$_.Kind } | ForEach-Object { $_.Text })
  commands = @($ast.FindAll({ param($n) $n -is [System.Management.Automation.Language.CommandAst] }, $true) | ForEach-Object {
    @{ name = $_.GetCommandName(); parameters = @($_.CommandElements | Where-Object { $_ -is [System.Management.Automation.Language.CommandParameterAst] } | ForEach-Object { $_.ParameterName }) } })
  top = @($ast.EndBlock.Statements | ForEach-Object { $_.GetType().Name + ':' + $(if ($_.Name) { $_.Name } else { '' }) })
  functions = @($ast.FindAll({ param($n) $n -is [System.Management.Automation.Language.FunctionDefinitionAst] }, $true) | ForEach-Object { $_.Name })
  other_blocks = @($ast.BeginBlock, $ast.ProcessBlock, $ast.DynamicParamBlock, $ast.ParamBlock | Where-Object { $_ }).Count
}
$before = @(Get-ChildItem function: | ForEach-Object Name)
$output = @(. $env:LUMETRA_T_SCRIPT)
$report.load_output = $output.Count
$report.defined = @(Get-ChildItem function: | Where-Object { $before -notcontains $_.Name } | ForEach-Object Name)
$report | ConvertTo-Json -Depth 5 -Compress
"""


def wrapper(package, destination):
    lit = lambda t: "'" + t.replace("'", "''") + "'"
    return ("\ntry { Expand-LumetraPackage -Package " + lit(package) + " -Destination " +
            lit(destination) + "; exit 0 } catch { [IO.File]::WriteAllText(" +
            lit(destination + ".error.txt") +
            ", $_.Exception.Message, [Text.UTF8Encoding]::new($false)); exit 1 }")


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


class ScriptFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        _, cls.pwsh = xr.programs()
        with open(xr.SCRIPT, "rb") as f:
            cls.raw = f.read()
        cls.module = cls.raw.decode("utf-8")[1:]

    def test_utf8_with_byte_order_mark_and_line_feeds(self):
        self.assertTrue(self.raw.startswith(b"\xef\xbb\xbf"))
        self.assertNotIn(b"\r", self.raw)
        self.raw.decode("utf-8")

    def guard(self, script):
        ws = xr.Workspace()
        try:
            env = ws.env()
            env["LUMETRA_T_SCRIPT"] = script
            done = subprocess.run([self.pwsh, "-NoLogo", "-NoProfile", "-NonInteractive", "-Command", GUARD],
                                  env=env, capture_output=True, timeout=xr.TIME_LIMIT)
        finally:
            ws.close()
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def test_guard_sees_powershell_7_syntax(self):
        ws = xr.Workspace()
        try:
            sample = ws.path("newer.ps1")
            with open(sample, "w") as f:
                f.write("function f { $a = $b ?? 1; $c = $a ? 1 : 2; $d = ${e}?.x; "
                        "g && h; $j = '{}' | ConvertFrom-Json -AsHashtable }\n")
            report = self.guard(sample)
        finally:
            ws.close()
        self.assertEqual(len(report["newer_nodes"]), 2)
        self.assertEqual(sorted(report["newer_tokens"]), ["&&", "?.", "??"])
        self.assertIn({"name": "ConvertFrom-Json", "parameters": ["AsHashtable"]}, report["commands"])

    def test_runs_on_windows_powershell_5_1_and_defines_only_the_function(self):
        report = self.guard(xr.SCRIPT)
        self.assertEqual(report["errors"], [])
        self.assertEqual(report["newer_nodes"], [], "PowerShell 6+ syntax")
        self.assertEqual(report["newer_tokens"], [], "PowerShell 6+ operators")
        for command in report["commands"]:
            self.assertIn(command["name"], ALLOWED_COMMANDS)
            self.assertLessEqual(set(command["parameters"]), ALLOWED_COMMANDS[command["name"]],
                                 command["name"])
        self.assertEqual(report["top"], ["FunctionDefinitionAst:Expand-LumetraPackage"])
        self.assertEqual(sorted(report["functions"]), ["Assert-NoLink", "Expand-LumetraPackage"])
        self.assertEqual(report["other_blocks"], 0)
        self.assertEqual(report["load_output"], 0)
        self.assertEqual(report["defined"], ["Expand-LumetraPackage"])

    def test_module_leaves_room_for_two_1000_character_paths(self):
        powershell = r"C:\Windows\system32\WindowsPowerShell/v1.0/powershell.exe"
        package = "C:\\" + "p" * 997
        destination = "C:\\" + "d" * 997
        script = self.module + wrapper(package, destination)
        command = (len(powershell) + 2 + len(" -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass "
                                              "-EncodedCommand ") +
                   4 * math.ceil(2 * utf16_units(script) / 3))
        print("\nmodule: %d UTF-16 code units; command with two 1,000-character paths: %d of 32,759"
              % (utf16_units(self.module), command))
        self.assertLessEqual(command, 32759)


if __name__ == "__main__":
    unittest.main()
