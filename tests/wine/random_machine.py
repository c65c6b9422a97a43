#!/usr/bin/env python3
"""Makes one random machine for random.sh: a registry seed, a Windows
version and a call sequence, the same for the same seed and index.

    random_machine.py --seed S --index I --out DIR

writes DIR/seed.reg (REGEDIT4), DIR/scenario (VERSION, CALLS, SIM_OPTIONS,
KEYS, in the form of the hand-written scenarios) and DIR/owned (the keys the
machine created, one per line below HKEY_LOCAL_MACHINE, for random.sh to
delete before the next machine in the same prefix).

The machines use both registry layouts (HKLM\\Enum of Windows 9x and the
enumerator tree below CurrentControlSet of the NT family), the product's
joystick, pedal and auxiliary devices next to other vendors' devices and
IDs too short to match, hostile "Driver" values (empty, rooted, one
component, empty components, not a string) and values of other types in
every location the sweeps read: the enumerator trees, the driver keys, the
joystick settings and OEM keys, the ASD lists, the device interface classes
and the root device.
"""
import argparse
import os
import random

CCS = "System\\CurrentControlSet"
HIDCLASS_GUID = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"
MEDIA_GUID = "{4d36e96c-e325-11ce-bfc1-08002be10318}"
ASD_GUIDS = ["{9b4e7760-3196-11cf-97ea-00aa0034319d}", "{cf2524c0-29ae-11cf-97ea-00aa0034319d}"]
INTERFACE_GUIDS = {
    "HID": "{4d1e55b2-f16f-11cf-88cb-001111000030}",
    "USB": "{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
}
PEDALS = [0x2101, 0x2109, 0x210F, 0x2117, 0x211C, 0x2124]
AUX = [0x2180, 0x2181, 0x2182]

# The keys below HKEY_LOCAL_MACHINE that the calls may change, as compared
# after the calls; and for each, how many levels below it a machine's own
# key lies (what random.sh deletes between machines): 0 is the key itself.
ROOTS = [
    ("Enum", 0),
    (CCS + "\\Enum\\USB", 1),
    (CCS + "\\Enum\\HID", 1),
    (CCS + "\\Enum\\QVProducts", 0),
    (CCS + "\\Services\\Class", 2),
    (CCS + "\\Control\\MediaResources\\Joystick\\DINPUT.DLL\\JoystickSettings", 1),
    (CCS + "\\Control\\MediaResources\\joystick\\<FixedKey>", 0),
    (CCS + "\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM", 1),
    (CCS + "\\Control\\ASD", 0),
    (CCS + "\\Control\\DeviceClasses\\" + INTERFACE_GUIDS["HID"], 1),
    (CCS + "\\Control\\DeviceClasses\\" + INTERFACE_GUIDS["USB"], 1),
]


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Machine:
    """Keys and values as the registry holds them: names of any case are one."""

    def __init__(self):
        self.keys = {}  # lower-case path -> (path, {lower-case name: value line})

    def has(self, path):
        return path.lower() in self.keys

    def key(self, path):
        return self.keys.setdefault(path.lower(), (path, {}))[1]

    def value(self, path, name, data):
        self.key(path)[name.lower()] = reg_string(name) + "=" + data

    def owned(self):
        result = set()
        for path, _ in self.keys.values():
            for root, depth in ROOTS:
                if path.lower() == root.lower() or path.lower().startswith(root.lower() + "\\"):
                    below = path[len(root) + 1:].split("\\") if len(path) > len(root) else []
                    if len(below) >= depth:
                        result.add("\\".join([root] + below[:depth]))
                    break
            else:
                raise ValueError("key outside the compared roots: " + path)
        return sorted(result)

    def reg(self):
        lines = ["REGEDIT4", ""]
        for path, values in self.keys.values():
            lines.append("[HKEY_LOCAL_MACHINE\\" + path + "]")
            lines.extend(values.values())
            lines.append("")
        return "\n".join(lines) + "\n"


def hex_bytes(rng, count):
    return ",".join("%02x" % rng.randrange(256) for _ in range(count))


def other_value(rng):
    """A value that is not a string."""
    # Binary, DWORD and REG_NONE. No text types given as bytes (hex(2),
    # hex(7)): a REGEDIT4 file holds their bytes in the ANSI code page,
    # regedit's export in UTF-16, so the seed could not be found in the export.
    kind = rng.choice(["dword", "hex", "hex0"])
    if kind == "dword":
        return "dword:%08x" % rng.randrange(1 << 32)
    if kind == "hex":
        return "hex:" + hex_bytes(rng, rng.randrange(1, 6))
    return "hex(0):" + hex_bytes(rng, rng.randrange(0, 3))


def device_id(rng):
    """A USB-style device ID and what it is."""
    kind = rng.choices(
        ["joystick", "pedal", "aux", "product-other", "vendor", "short", "lower", "interface"],
        weights=[5, 3, 2, 1, 3, 1, 1, 1])[0]
    if kind == "joystick":
        return "VID_1D9F&PID_%04X" % rng.randrange(0x2100, 0x2150)
    if kind == "pedal":
        return "VID_1D9F&PID_%04X" % rng.choice(PEDALS)
    if kind == "aux":
        return "VID_1D9F&PID_%04X" % rng.choice(AUX)
    if kind == "product-other":
        return "VID_1D9F&PID_%04X" % rng.randrange(0x2150, 0x2200)
    if kind == "vendor":
        return rng.choice(["VID_045E&PID_0040", "VID_046D&PID_C216", "VID_0000&PID_0001",
                           "VID_%04X&PID_%04X" % (rng.randrange(0x1000, 0x1D00), rng.randrange(1 << 16))])
    if kind == "short":
        return rng.choice(["VID_1D9F&PID_21", "VID_1D9F", "1D9F&PID_2100"])
    if kind == "lower":
        return "vid_1d9f&pid_%04x" % rng.choice([0x2100, 0x2101, 0x2180])
    return "VID_1D9F&PID_%04X&MI_%02d" % (rng.choice([0x2100, 0x2101, 0x2181]), rng.randrange(2))


def instance_name(rng, index):
    return rng.choice(["%d&%X&0&%d" % (rng.randrange(5, 9), rng.randrange(1 << 24), index),
                       "%d" % (index + 1), "%04d" % index,
                       "%d&%08X&0&%04d" % (rng.randrange(5, 9), rng.randrange(1 << 32), index)])


class Generator:
    def __init__(self, seed, index):
        self.rng = random.Random("%s:%s" % (seed, index))
        self.m = Machine()
        # Numbers above those of the prefix's own driver keys.
        self.driver_numbers = iter(range(100 + self.rng.randrange(40), 10000))

    def driver_value(self, nt, path):
        """Sets the instance's "Driver" value, and its driver key where it names one."""
        rng = self.rng
        kind = rng.choices(["none", "key", "missing", "hostile", "other"], weights=[2, 6, 2, 2, 1])[0]
        if kind == "none":
            return
        if kind == "other":
            self.m.value(path, "Driver", other_value(rng))
            return
        if kind == "hostile":
            # Empty, rooted, one component, empty components, trailing separator.
            text = rng.choice(["", "\\MEDIA\\0001", "MEDIA", "MEDIA\\\\0001", "\\", "MEDIA\\0001\\"])
            self.m.value(path, "Driver", reg_string(text))
            return
        klass = (rng.choice([MEDIA_GUID, HIDCLASS_GUID]) if nt else rng.choice(["MEDIA", "HID", "USB"]))
        driver = "%s\\%04d" % (klass, next(self.driver_numbers))
        self.m.value(path, "Driver", reg_string(driver))
        if kind == "key":
            key = CCS + "\\Services\\Class\\" + driver
            self.m.value(key, "DriverDesc", reg_string("QV driver"))
            if rng.random() < 0.5:
                self.m.value(key, "InfPath", reg_string("oem%d.inf" % rng.randrange(10)))
            if rng.random() < 0.3:
                self.m.value(key + "\\Settings", "Mode", other_value(rng))

    def device(self, nt, enumerator, vid_pid, least):
        """A device ID with at least LEAST instances (and up to two more)."""
        rng = self.rng
        base = (CCS + "\\Enum\\" if nt else "Enum\\") + enumerator + "\\" + vid_pid
        instances = []
        wanted = rng.randrange(least, least + 3)
        i = 0
        while len(instances) < wanted:
            path = base + "\\" + instance_name(rng, i)
            i += 1
            if self.m.has(path):
                continue
            instances.append(path)
            self.m.value(path, "DeviceDesc", reg_string("Device %s" % vid_pid))
            # Wine's Setup API lists a device ID's instances only when they have
            # a ClassGUID, so on the NT layout every instance has one.
            if nt or rng.random() < 0.7:
                self.m.value(path, "ClassGUID", reg_string(rng.choice([HIDCLASS_GUID, MEDIA_GUID])))
            if not nt and rng.random() < 0.5:
                self.m.value(path, "Class", reg_string(rng.choice(["MEDIA", "HID"])))
            self.driver_value(nt, path)
            if rng.random() < 0.2:
                self.m.value(path, "ConfigFlags", other_value(rng))
        return instances

    def settings(self, nt, vid_pids):
        rng = self.rng
        if nt:
            root = CCS + "\\Control\\MediaResources\\Joystick\\DINPUT.DLL\\JoystickSettings"
        else:
            root = CCS + "\\Control\\MediaResources\\joystick\\<FixedKey>\\JoystickSettings"
        for vid_pid in vid_pids:
            if rng.random() < 0.5:
                path = root + "\\" + vid_pid
                self.m.key(path)
                if rng.random() < 0.6:
                    self.m.value(path, "Calibration", "hex:" + hex_bytes(rng, 4))
        for vid_pid in vid_pids:
            if rng.random() < 0.3:
                path = CCS + "\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM\\" + vid_pid
                self.m.value(path, "OEMName", reg_string("Stick %s" % vid_pid))
                if rng.random() < 0.3:
                    self.m.value(path, "OEMData", other_value(rng))

    def asd(self, instances):
        rng = self.rng
        for guid in ASD_GUIDS:
            if rng.random() < 0.5:
                continue
            path = CCS + "\\Control\\ASD\\Prob\\" + guid
            self.m.key(path)
            for instance in instances:
                if rng.random() < 0.6:
                    name = "\\".join(instance.split("\\")[-3:])
                    data = "hex:01,00,00,00" if rng.random() < 0.8 else other_value(rng)
                    self.m.value(path, name, data)

    def interfaces(self, instances):
        rng = self.rng
        for instance in instances:
            parts = instance.split("\\")[-3:]
            if parts[0] not in INTERFACE_GUIDS or rng.random() < 0.5:
                continue
            guid = INTERFACE_GUIDS[parts[0]]
            name = "##?#" + "#".join(parts) + "#" + guid
            path = CCS + "\\Control\\DeviceClasses\\" + guid + "\\" + name
            self.m.value(path, "DeviceInstance", reg_string("\\".join(parts)))
            self.m.value(path + "\\#", "SymbolicLink", reg_string("\\\\?\\" + name[4:]))
            if rng.random() < 0.5:
                self.m.value(path + "\\Control", "Linked", "dword:00000000")

    def root_device(self):
        rng = self.rng
        if rng.random() < 0.5:
            self.m.key("Enum\\Root\\System")
        if rng.random() < 0.4:
            path = "Enum\\Root\\*QV_TILLERDESK\\0000"
            self.m.value(path, "DeviceDesc", reg_string("QV Tillerdesk"))
            self.driver_value(False, path)

    def calls(self):
        rng = self.rng
        choices = ["RemoveUsbDevices", "RemovePedalDevices", "RemoveAuxDevices", "RootDeviceCount",
                   "RemoveRootDevice", "CreateRootDevice=C:\\QV", "IsAdmin", "IsWinMe", "InitModule",
                   "IsWin2k", "IsWinXp", "NeedReboot", "SetTargetDir=C:\\QV\\Files"]
        weights = [6, 3, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1]
        return rng.choices(choices, weights=weights, k=rng.randrange(1, 5))

    def make(self):
        rng = self.rng
        version = rng.choice(["win98", "winme", "win2k", "winxp"])
        nt = version in ("win2k", "winxp")
        calls = self.calls()
        # On the NT family the Setup API removes at most one instance of a
        # device ID per query (SetupDiDeleteDeviceInfo fails after
        # SetupDiRemoveDevice, under Wine and as the simulation is told), and
        # a removal call queries a device ID at most twice. Wine deletes a
        # device ID's key with its last instance, which Windows and the
        # simulation do not, and the later sweeps would see that; so there
        # every device ID has more instances than the calls can remove.
        removals = sum(call.startswith("Remove") and call != "RemoveRootDevice" for call in calls)
        instances = []
        vid_pids = []
        for _ in range(rng.randrange(1, 7)):
            vid_pid = device_id(rng)
            vid_pids.append(vid_pid)
            # Mostly the version's own layout, sometimes the other one too.
            layout = nt if rng.random() < 0.8 else not nt
            least = 2 * removals + 1 if (nt and layout) else 1
            instances += self.device(layout, rng.choice(["USB", "USB", "HID", "QVProducts"]), vid_pid, least)
        self.settings(nt, vid_pids)
        self.asd(instances)
        self.interfaces(instances)
        self.root_device()
        # Wine's Configuration Manager locates no device node, and its
        # SetupDiDeleteDeviceInfo fails after SetupDiRemoveDevice: the
        # simulation is given the same answers (as the scenarios win98-root
        # and winxp-usb are).
        options = "--fail CM_Locate_DevNodeA=0x13 --fail SetupDiDeleteDeviceInfo=87"
        return version, calls, options


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", required=True)
    parser.add_argument("--index", type=int, required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    generator = Generator(args.seed, args.index)
    version, calls, options = generator.make()
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "seed.reg"), "w") as f:
        f.write(generator.m.reg())
    with open(os.path.join(args.out, "owned"), "w") as f:
        f.write("".join(path + "\n" for path in generator.m.owned()))
    keys = "\n".join(root for root, _ in ROOTS)
    with open(os.path.join(args.out, "scenario"), "w") as f:
        f.write("# Random machine %d of seed %s\n" % (args.index, args.seed))
        f.write("VERSION=%s\n" % version)
        f.write("CALLS='%s'\n" % " ".join(calls))
        f.write("SIM_OPTIONS='%s'\n" % options)
        f.write("KEYS='%s'\n" % keys)


if __name__ == "__main__":
    main()
