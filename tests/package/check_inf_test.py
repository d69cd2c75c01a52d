"""Self-test of scripts/check_inf.py (run: python3 scripts/check_inf.py --self-test).

Each case breaks the package's real INFs in one way and expects the checker to
name that fault; the unbroken INFs must pass.
"""
import os
import shutil
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import check_inf  # noqa: E402

KERNEL = os.path.join(ROOT, "package", "vm_usbaudio.inf")
APPS = os.path.join(ROOT, "package", "vm_usbaudio_apps.inf")


def read(path):
    with open(path, encoding="utf-8-sig") as f:
        return f.read()


class CheckInfTest(unittest.TestCase):
    def problems(self, kernel_edit=None, apps_edit=None):
        kernel, apps = read(KERNEL), read(APPS) if os.path.exists(APPS) else None
        for text, edit in ((kernel, kernel_edit), (apps, apps_edit)):
            if edit:
                self.assertIn(edit[0], text, "the case's edit no longer applies")
        if kernel_edit:
            kernel = kernel.replace(*kernel_edit)
        if apps_edit:
            apps = apps.replace(*apps_edit)
        return "\n".join(check_inf.check(KERNEL, APPS if apps is not None else None,
                                         kernel_text=kernel, apps_text=apps))

    def assertFault(self, expected, **edits):
        found = self.problems(**edits)
        self.assertIn(expected, found)

    def test_package_infs_pass(self):
        self.assertEqual(self.problems(), "")

    def test_broken_references_fail(self):
        self.assertFault("names section [VmUsbAudio.AddRegs], which does not exist",
                         kernel_edit=("AddReg    = VmUsbAudio.AddReg", "AddReg    = VmUsbAudio.AddRegs"))
        self.assertFault("[VmUsbAudio.Device.NT.Services] does not exist",
                         kernel_edit=("[VmUsbAudio.Device.NT.Services]", "[VmUsbAudio.Device.NT.Service]"))
        self.assertFault("%MfgNam% is not defined in [Strings]",
                         kernel_edit=("%MfgName% = Velmora", "%MfgNam% = Velmora"))
        self.assertFault("AddService names section [VmUsbAudio.Svc]",
                         kernel_edit=("0x00000002, VmUsbAudio.Service", "0x00000002, VmUsbAudio.Svc"))

    def test_files_outside_the_package_layout_fail(self):
        self.assertFault("vm_usbaudio.sys is copied but not listed in [SourceDisksFiles]",
                         kernel_edit=("vm_usbaudio.sys = 1\n", ""))
        self.assertFault("vm_usbaudio.sys is taken from 'x86/' of the package",
                         kernel_edit=("1 = %DiskName%,,,\\amd64", "1 = %DiskName%,,,\\x86"))
        self.assertFault("vm_usbaudio.sys is on disk '2'",
                         kernel_edit=("vm_usbaudio.sys = 1", "vm_usbaudio.sys = 2"))

    def test_disagreement_with_the_code_fails(self):
        self.assertFault("the hardware id USB\\VID_1FA7&PID_4D02&MI_00 the user-mode parts look for",
                         kernel_edit=("PID_4D02&MI_00", "PID_4D02&MI_01"))
        self.assertFault("KSCATEGORY_RENDER reference string is not 'Wave'",
                         kernel_edit=("%KSCATEGORY_RENDER%,  %KSNAME_Wave%", "%KSCATEGORY_RENDER%,  Topology"))
        self.assertFault("does not add KSCATEGORY_CAPTURE",
                         kernel_edit=('KSCATEGORY_CAPTURE = "{65E8773D', 'KSCATEGORY_CAPTURE = "{65E8773F'))
        self.assertFault("device description is not 'Velmora USB DAC'",
                         kernel_edit=('DeviceDesc        = "Velmora USB DAC"',
                                      'DeviceDesc        = "Velmora USB Audio"'))
        self.assertFault("StartType is not 3", kernel_edit=("StartType     = 3", "StartType     = 2"))
        self.assertFault("ServiceBinary is not %12%\\vm_usbaudio.sys",
                         kernel_edit=("%12%\\vm_usbaudio.sys", "%12%\\usbaudio.sys"))

    def test_laid_out_package_without_the_binary_fails(self):
        with tempfile.TemporaryDirectory() as folder:
            os.mkdir(os.path.join(folder, "amd64"))
            kernel = os.path.join(folder, "vm_usbaudio.inf")
            shutil.copy(KERNEL, kernel)
            self.assertIn("vm_usbaudio.sys is not in", "\n".join(check_inf.check(kernel)))
            open(os.path.join(folder, "amd64", "vm_usbaudio.sys"), "wb").close()
            self.assertEqual(check_inf.check(kernel), [])

    @unittest.skipUnless(os.path.exists(APPS), "no user-mode INF yet")
    def test_control_panel_path_fails_when_long_or_elsewhere(self):
        long_dir = "Velmora\\" + "x" * 100
        found = self.problems(apps_edit=('"%16422%\\Velmora\\vm_usbaudio_cpl.exe"',
                                         '"%16422%\\' + long_dir + '\\vm_usbaudio_cpl.exe"'))
        self.assertIn("more than 127", found)
        self.assertIn("but vm_usbaudio_cpl.exe is installed as", found)


class ParserTest(unittest.TestCase):
    def test_quotes_comments_and_continuations(self):
        inf = check_inf.Inf("t.inf", text=(
            "; comment\n"
            "[A]\n"
            'Key = "a, b; c", "say ""hi""" ; trailing comment\n'
            "List = one, \\\n"
            "       two\n"
            "[strings]\n"
            'Name = "x;y"\n'))
        self.assertEqual(inf.problems, [])
        key = inf.values("a", "KEY")[0]
        self.assertEqual(key.fields, ["a, b; c", 'say "hi"'])
        self.assertEqual(inf.values("A", "list")[0].fields, ["one", "two"])
        self.assertEqual(inf.expand("%NAME%\\%12%%%"), "x;y\\%12%%")

    def test_malformed_lines_are_reported(self):
        inf = check_inf.Inf("t.inf", text='x = 1\n[A\n[B]\nKey = "open\nTail = \\\n')
        text = "\n".join(inf.problems)
        self.assertIn("t.inf:1: line outside any section", text)
        self.assertIn("t.inf:2: malformed section header", text)
        self.assertIn("t.inf:4: unterminated quoted string", text)
        self.assertIn("line continuation at the end of the file", text)


if __name__ == "__main__":
    unittest.main()
