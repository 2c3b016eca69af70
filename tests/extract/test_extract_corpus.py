"""Real archives written by other tools (../shared/zip-corpus beside the
repository): none is a complete package, so each must be refused, in time,
without a crash and without writing anything. All of them go through the
script in one PowerShell process; a sample goes through the real program."""

import json
import os
import subprocess
import unittest

import extractrun as xr

CORPUS = os.path.normpath(os.path.join(os.environ.get("LUMETRA_SOURCE", ""), "..", "shared", "zip-corpus"))

BATCH = r"""
. $env:LUMETRA_T_SCRIPT
$work = $env:LUMETRA_T_WORK
$i = 0
foreach ($file in [IO.File]::ReadAllLines($env:LUMETRA_T_LIST)) {
  $i++
  $dest = Join-Path $work "d$i"
  [void][IO.Directory]::CreateDirectory($dest)
  $watch = [Diagnostics.Stopwatch]::StartNew()
  $message = $null
  try { Expand-LumetraPackage -Package $file -Destination $dest } catch { $message = $_.Exception.Message }
  $written = @([IO.Directory]::GetFileSystemEntries($dest)).Count
  [IO.Directory]::Delete($dest, $true)
  @{ file = $file; message = $message; ms = $watch.ElapsedMilliseconds; written = $written } | ConvertTo-Json -Compress
}
"""

# What the checker answers for the archives of the two hand-made sets, where
# it is one of the script's own messages (the rest fail with the platform's
# message: archives that cannot be opened).
COUNT = "升级包文件数量无效（最多10000项）"
EXPECTED = {
    "go-archive-zip/FuzzReader-enc.zip": "升级包缺少清单或配套程序",
    "go-archive-zip/FuzzReader-raw.zip": "升级包缺少清单或配套程序",
    "go-archive-zip/dupdir.zip": "升级包包含重复路径（不区分大小写）",
    "go-archive-zip/unix.zip": "升级包缺少清单或配套程序",
    "go-archive-zip/winxp.zip": "升级包缺少清单或配套程序",
    "go-archive-zip/symlink.zip": COUNT,
    "libarchive/test_compat_zip_5.zip": "升级包缺少清单或配套程序",
    "libarchive/test_read_format_zip_7075_utf8_paths.zip": "升级包缺少清单或配套程序",
    "libarchive/test_write_disk_appledouble_zip.zip": "升级包缺少清单或配套程序",
    "libarchive/test_read_format_zip_7z_lzma.zip": "升级包含符号链接或特殊文件",
    "libarchive/test_read_format_zip_msdos.zip": "升级包文件/目录属性冲突",
    "libarchive/test_read_format_zip_winzip_aes256_large.zip": "升级包缺少清单或配套程序",
    "libarchive/test_read_format_zip_malformed1.zip": None,
    "libarchive/test_read_format_zip_bz2_hang.zip": None,
    # .NET Framework refuses to open an archive whose end record counts more
    # entries than its central directory holds; .NET 10 opens it with the
    # entries it finds, so the count rule answers.
    "go-archive-zip/test-prefix.zip": COUNT,
    "libarchive/test_read_format_zip_padded1.zip": COUNT,
    # The comment runs past the end of the file: .NET 10 finds no end record.
    "go-archive-zip/comment-truncated.zip": None,
}

SAMPLE = sorted(EXPECTED) + ["go-fuzz-raw/0.zip", "go-archive-zip/zip64.zip",
                             "libarchive/test_read_format_zip_size_exceeds_declared_stored.zip"]


def corpus_files():
    if not os.path.isfile(os.path.join(CORPUS, "INDEX.md")):
        raise AssertionError("zip corpus not found at %s (a copy of shared/ belongs beside the repository)"
                             % CORPUS)
    files = []
    for folder in sorted(os.listdir(CORPUS)):
        path = os.path.join(CORPUS, folder)
        if os.path.isdir(path):
            files += [os.path.join(path, name) for name in sorted(os.listdir(path))
                      if name.endswith((".zip", ".zipx"))]
    return files


class Corpus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        _, cls.pwsh = xr.programs()
        cls.files = corpus_files()
        cls.ws = xr.Workspace()
        listing = cls.ws.path("list.txt")
        with open(listing, "w", encoding="utf-8") as f:
            f.write("\n".join(cls.files))
        os.makedirs(cls.ws.path("work"))
        env = cls.ws.env()
        env.update(LUMETRA_T_SCRIPT=xr.SCRIPT, LUMETRA_T_LIST=listing, LUMETRA_T_WORK=cls.ws.path("work"))
        done = subprocess.run([cls.pwsh, "-NoLogo", "-NoProfile", "-NonInteractive", "-Command", BATCH],
                              env=env, capture_output=True, timeout=900)
        cls.batch_stderr = done.stderr
        cls.results = {}
        for line in done.stdout.decode("utf-8").splitlines():
            item = json.loads(line)
            cls.results[os.path.relpath(item["file"], CORPUS)] = item

    @classmethod
    def tearDownClass(cls):
        cls.ws.close()

    def test_every_archive_is_refused_before_writing(self):
        self.assertGreater(len(self.files), 400)
        self.assertEqual(len(self.results), len(self.files), self.batch_stderr)
        for name, item in sorted(self.results.items()):
            with self.subTest(name):
                self.assertTrue(item["message"], "not refused")
                self.assertEqual(item["written"], 0)
                self.assertLess(item["ms"], 180000)

    def test_hand_made_archives_meet_their_rule(self):
        for name, expected in EXPECTED.items():
            with self.subTest(name):
                message = self.results[name]["message"]
                if expected is None:
                    self.assertTrue(message.startswith("Exception calling"), message)
                else:
                    self.assertEqual(message, expected)

    def test_sample_through_the_program(self):
        def run(name):
            ws = xr.Workspace()
            try:
                target = ws.path("target")
                os.makedirs(target)
                code, message = xr.verify(ws, os.path.join(CORPUS, name), target)
                return code, message, os.listdir(target)
            finally:
                ws.close()

        for name, (code, message, written) in zip(SAMPLE, xr.parallel(run, SAMPLE)):
            with self.subTest(name):
                self.assertEqual((code, written), (4, []))
                self.assertEqual(message, self.results[name]["message"])


if __name__ == "__main__":
    unittest.main()
