"""What the built svcshim.exe carries: the DLLs it needs on a bare Windows,
its version record and its manifest."""

import re
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

from pe_image import RT_MANIFEST, RT_VERSION, PeImage, parse_version
from wine_harness import REPO, host_exe

# The version a user sees in the file's properties.
VERSION = (1, 0, 0, 2)

# Windows' known DLLs only, which the loader takes from the system directory
# whatever lies beside the program. Any other import would be looked for in
# the host's folder first: a DLL dropped there would run in the service's
# account. A compiler runtime (libstdc++, libgcc, libwinpthread) would also
# have to ship beside it. MSVC builds link their runtime statically, so they
# import no UCRT either.
KNOWN_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}

ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


class HostImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.path = host_exe()
        cls.image = PeImage.read(cls.path)
        cls.resources = cls.image.resources()

    def resource(self, kind):
        found = [data for key, data in self.resources.items() if key[0] == kind]
        self.assertEqual(len(found), 1, f"resources of type {kind}: {sorted(self.resources)}")
        return found[0]

    def test_imports_only_known_dlls(self):
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(self.path)], capture_output=True,
                              text=True, check=True).stdout
        imports = {name.lower() for name in re.findall(r"^\s*DLL Name: (\S+)$", dump, re.MULTILINE)}
        self.assertIn("kernel32.dll", imports, "objdump's import list did not read")
        self.assertEqual(imports - KNOWN_DLLS, set())

    def test_is_a_64_bit_windows_gui_program(self):
        # GUI subsystem: started by hand, the host opens no console window.
        self.assertEqual((self.image.machine, self.image.subsystem), (0x8664, 2))

    def test_version_record(self):
        # One record, filed under Chinese (PRC).
        self.assertEqual([key for key in self.resources if key[0] == RT_VERSION], [(RT_VERSION, 1, 0x0804)])
        record = parse_version(self.resource(RT_VERSION))
        self.assertEqual(record.file_version, VERSION)
        self.assertEqual(record.product_version, VERSION)
        self.assertEqual(record.translations, [(0x0409, 1200), (0x0804, 1200)])
        self.assertEqual(sorted(record.strings), ["040904b0", "080404b0"])
        block = record.strings["080404b0"]
        self.assertEqual(record.strings["040904b0"], block)
        dotted = ".".join(map(str, VERSION))
        self.assertEqual((block.get("FileVersion"), block.get("ProductVersion")), (dotted, dotted))
        self.assertEqual((block.get("CompanyName"), block.get("OriginalFilename")),
                         ("The svcshim authors", "svcshim.exe"))
        notice = re.search(r"^Copyright .*$", (REPO / "LICENSE").read_text(), re.MULTILINE)
        self.assertEqual(block.get("LegalCopyright"), notice and notice.group(0))

    def test_manifest_runs_as_invoker(self):
        manifest = ElementTree.fromstring(self.resource(RT_MANIFEST))
        levels = list(manifest.iter(ASM_V3 + "requestedExecutionLevel"))
        self.assertEqual([level.attrib for level in levels], [{"level": "asInvoker", "uiAccess": "false"}])


if __name__ == "__main__":
    unittest.main()
