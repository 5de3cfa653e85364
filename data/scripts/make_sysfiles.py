#!/usr/bin/env python3
"""Rebuilds data/sysfiles/wine-system-files.tsv, the bulk of the system-file
catalogue behind Data/hsysfiles.mdict.

Source: the Windows system binaries that Debian's Wine packages install
(package libwine, pulled in by wine64: /usr/lib/x86_64-linux-gnu/wine/
x86_64-windows/), which carry the names of the Windows files they stand in
for. Each name is placed in the folders where Windows keeps that file:

  * 64-bit System32 and, on 64-bit Windows (from Windows XP x64 on), the
    32-bit counterpart in SysWOW64, as a Wine prefix lays them out too; the
    kernel, the WOW64 layer and a few 64-bit-only processes in System32 only;
  * drivers (*.sys) in System32\\drivers and in the driver store;
  * the Windows folder for explorer.exe, regedit.exe, hh.exe, notepad.exe ...;
  * System32\\wbem, System32\\WindowsPowerShell\\v1.0, the .NET Framework
    folders (recursive), and Program Files for the few programs kept there;
  * from Windows Vista on, every component also has copies in the
    component store %SystemRoot%\\WinSxS (recursive).

Names that Wine invents (wine*.exe/.dll/.drv/.sys and a few others) and
libraries that applications legitimately ship beside themselves (Visual C++
and DirectX redistributables, d3dcompiler, xinput/xaudio of the redistributable
era, vcomp, unicows, zlib1 ...) are left out: a copy of those outside System32
is no sign of anything. Windows versions are given where a file or folder
exists only from (or until) some version.

Usage (from the repository root):
    python3 data/scripts/make_sysfiles.py [--wine-dir DIR] [--out FILE]
"""
import argparse
import os
import re
import sys

SYS32 = r"%SystemRoot%\System32"
WOW64 = r"%SystemRoot%\SysWOW64"
WINDIR = r"%SystemRoot%"
DRIVERS = SYS32 + r"\drivers"
DRIVER_STORE = SYS32 + r"\DriverStore\FileRepository"
WINSXS = r"%SystemRoot%\WinSxS"
DOTNET = r"%SystemRoot%\Microsoft.NET"
PF = r"%ProgramFiles%"
PF86 = r"%ProgramFiles(x86)%"
COMMON = r"%CommonProgramFiles%"

# Folder (path, recursive, folder_min_os, folder_max_os).
def folder(path, recursive=False, lo="", hi=""):
    return (path, recursive, lo, hi)

SYS32_F = folder(SYS32)
WOW64_F = folder(WOW64, lo="wvWinXP64")
WINSXS_F = folder(WINSXS, True, lo="wvWinVista")

def both(sub=""):
    return [folder(SYS32 + sub), folder(WOW64 + sub, lo="wvWinXP64")]

def program_files(sub):
    return [folder(PF + "\\" + sub), folder(PF86 + "\\" + sub, lo="wvWinXP64")]

# Where a name lives when it is not in System32 (and SysWOW64).
SPECIAL_FOLDERS = {
    "explorer.exe": [folder(WINDIR), WOW64_F],
    "regedit.exe": [folder(WINDIR), WOW64_F],
    "hh.exe": [folder(WINDIR), WOW64_F],
    "notepad.exe": [folder(WINDIR)] + both(),
    "write.exe": [folder(WINDIR)] + both(),
    "winhlp32.exe": [folder(WINDIR)],
    "twain_32.dll": [folder(WINDIR)],
    "iexplore.exe": program_files("Internet Explorer"),
    "wordpad.exe": program_files(r"Windows NT\Accessories"),
    "wmplayer.exe": program_files("Windows Media Player"),
    "powershell.exe": both(r"\WindowsPowerShell\v1.0"),
    "pwrshplugin.dll": both(r"\WindowsPowerShell\v1.0"),
    "mofcomp.exe": both(r"\wbem"),
    "wmic.exe": both(r"\wbem"),
    "winmgmt.exe": both(r"\wbem"),
    "wbemdisp.dll": both(r"\wbem"),
    "wbemprox.dll": both(r"\wbem"),
    "wmiutils.dll": both(r"\wbem"),
    "msinfo32.exe": [folder(SYS32, lo="wvWinVista"), folder(WOW64, lo="wvWinVista"),
                     folder(COMMON + r"\Microsoft Shared\MSInfo", hi="wvWinServer2003")],
}
DOTNET_NAMES = {"aspnet_regiis.exe", "ngen.exe", "regasm.exe", "regsvcs.exe", "servicemodelreg.exe",
                "presentationfontcache.exe", "mscorwks.dll", "fusion.dll", "diasymreader.dll"}
# 64-bit only: no 32-bit copy in SysWOW64.
SYSTEM32_ONLY = {"ntoskrnl.exe", "hal.dll", "wow64.dll", "wow64cpu.dll", "wow64win.dll", "services.exe",
                 "conhost.exe", "spoolsv.exe"}

# Files that exist only from (or until) some Windows version: (min_os, max_os).
VERSIONS = {}
def since(version, *names):
    for n in names:
        VERSIONS[n] = (version, "")
since("wvWinXP", "apphelp.dll", "taskkill.exe", "tasklist.exe", "systeminfo.exe", "schtasks.exe", "fsutil.exe")
since("wvWinXP64", "wow64.dll", "wow64cpu.dll", "wow64win.dll")
since("wvWinServer2003", "icacls.exe", "where.exe")
since("wvWinVista", "bcrypt.dll", "ncrypt.dll", "cng.sys", "dwmapi.dll", "dxgi.dll", "d3d10.dll", "d3d10_1.dll",
      "d3d10core.dll", "d3d11.dll", "d2d1.dll", "dwrite.dll", "tzres.dll", "wevtapi.dll", "wevtutil.exe",
      "wevtsvc.dll", "netio.sys", "ktmw32.dll", "taskschd.dll", "propsys.dll", "mmdevapi.dll", "avrt.dll", "evr.dll",
      "mfplat.dll", "mf.dll", "mfreadwrite.dll", "windowscodecs.dll", "robocopy.exe", "setx.exe", "whoami.exe",
      "dxva2.dll", "srvcli.dll", "dhcpcsvc6.dll", "fwpuclnt.dll", "qwave.dll", "tdh.dll", "wer.dll", "tbs.dll",
      "slc.dll", "wsdapi.dll", "photometadatahandler.dll", "wpc.dll", "msdelta.dll", "wusa.exe", "sas.dll")
since("wvWin7", "kernelbase.dll", "conhost.exe", "dism.exe", "sechost.dll", "uianimation.dll", "uiribbon.dll",
      "sspicli.dll", "virtdisk.dll", "sppc.dll", "explorerframe.dll", "webservices.dll", "opcservices.dll")
since("wvWin8", "combase.dll", "dcomp.dll", "cryptowinrt.dll", "wintypes.dll", "threadpoolwinrt.dll",
      "xinput1_4.dll", "xaudio2_8.dll", "directmanipulation.dll", "shcore.dll", "rtworkq.dll",
      "mfmediaengine.dll", "ninput.dll", "websocket.dll", "windows.devices.enumeration.dll",
      "windows.globalization.dll", "windows.media.devices.dll", "windows.media.dll", "windows.networking.dll")
since("wvWin81", "wofutil.dll")
since("wvWin10", "win32u.dll", "msvcp_win.dll", "d3d12.dll", "xaudio2_9.dll", "xinputuap.dll", "gamingtcui.dll",
      "windows.gaming.input.dll", "windows.gaming.ui.gamebar.dll", "windows.media.speech.dll", "amsi.dll")
VERSIONS["progman.exe"] = ("", "wvWinServer2003")
VERSIONS["clock.exe"] = ("", "wvWinNT4")
VERSIONS["svrapi.dll"] = ("", "wvWinME")

# Names Wine makes up, or ships for its own purposes.
WINE_ONLY = re.compile(r"^wine")
WINE_ONLY_NAMES = {"nsiproxy.sys", "light.msstyles", "gphoto2.ds", "icinfo.exe", "eject.exe", "start.exe",
                   "uninstaller.exe", "view.exe", "termsv.exe", "plugplay.exe", "rpcss.exe", "wuauserv.exe",
                   "winnls32.dll", "oleview.exe", "cabarc.exe", "msidb.exe", "msnet32.dll", "strmdll.dll",
                   "vga.dll", "ctapi32.dll"}
# Libraries applications ship beside themselves.
REDISTRIBUTABLE = re.compile(
    r"^(api-ms-|ext-ms-|d3dx|d3dcompiler_|xinput1_[123]\.|xaudio2_[0-7]\.|x3daudio|xapofx|xactengine|"
    r"msvc[pr][0-9]|msvcr[0-9]|msvcm[0-9]|vcruntime|vcomp|concrt|mfc[0-9]|atl[0-9]|msvcirt|msvcrtd|ucrtbase)")
REDISTRIBUTABLE_NAMES = {"unicows.dll", "zlib1.dll", "wpcap.dll", "vulkan-1.dll", "opencl.dll", "wing32.dll",
                         "wintab32.dll", "wnaspi32.dll", "capi2032.dll", "msxml4.dll", "gdiplus.dll"}


def excluded(name):
    return (WINE_ONLY.match(name) or name in WINE_ONLY_NAMES or REDISTRIBUTABLE.match(name)
            or name in REDISTRIBUTABLE_NAMES)


def folders_of(name):
    if name in SPECIAL_FOLDERS:
        places = list(SPECIAL_FOLDERS[name])
    elif name in DOTNET_NAMES:
        places = [folder(DOTNET, True)]
    elif name.endswith(".sys"):
        places = [folder(DRIVERS), folder(DRIVER_STORE, True, lo="wvWinVista")]
    elif name in SYSTEM32_ONLY:
        places = [SYS32_F]
    else:
        places = both()
    return places + [WINSXS_F]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-dir", default="/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")
    parser.add_argument("--out", default=os.path.join(here, "..", "sysfiles", "wine-system-files.tsv"))
    args = parser.parse_args()

    names = sorted({n.lower() for n in os.listdir(args.wine_dir) if "." in n})
    kept = [n for n in names if not excluded(n)]
    rows = 0
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.write("# Windows system files named after the Windows binaries of Debian's Wine packages\n")
        f.write("# (libwine, x86_64-windows), with the folders where Windows keeps each. Made by\n")
        f.write("# data/scripts/make_sysfiles.py; see data/README.md. Empty OS columns mean every version.\n")
        f.write("name\tfolder\trecursive\tmin_os\tmax_os\tfolder_min_os\tfolder_max_os\n")
        for name in kept:
            lo, hi = VERSIONS.get(name, ("", ""))
            for path, recursive, flo, fhi in folders_of(name):
                f.write(f"{name}\t{path}\t{1 if recursive else 0}\t{lo}\t{hi}\t{flo}\t{fhi}\n")
                rows += 1
    print(f"{len(names)} names in {args.wine_dir}, {len(kept)} catalogued, {rows} rows", file=sys.stderr)


if __name__ == "__main__":
    main()
