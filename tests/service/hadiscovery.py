#!/usr/bin/python3
"""Checks Home Assistant MQTT discovery configs, as `mosquitto_sub -F '%t\\t%p'` prints them.

Usage: hadiscovery.py [--expect TOPIC]... [--expect-removed TOPIC]... [FILE]  (stdin without FILE)
       hadiscovery.py --self-test CASESFILE
Prints `ok TOPIC`, `removed TOPIC` or `FAIL TOPIC: reasons` for each message on a
homeassistant/.../config topic of a button, binary_sensor or sensor; exits 0 if nothing
failed, 1 otherwise, 2 for unreadable input. The schema is Home Assistant's documentation's:
  https://www.home-assistant.io/integrations/mqtt/ (discovery topic and payload, availability, device)
  https://www.home-assistant.io/integrations/{button,binary_sensor,sensor}.mqtt/
  https://www.home-assistant.io/integrations/{button,binary_sensor,sensor}/#device-class
  https://developers.home-assistant.io/docs/core/entity/sensor/#available-state-classes
Unknown keys fail, although Home Assistant ignores them: here they are a misspelt key.
"""
import argparse, json, re, sys

def table(text):  # "key:type key ..." -> {key: type}; str unless given
    return dict((word.split(":") + ["str"])[:2] for word in text.split())

ID = re.compile(r"^[a-zA-Z0-9_-]+$")  # node_id and object_id
COMMON = table("""availability:list availability_mode availability_template availability_topic
    device:map device_class:str|null enabled_by_default:bool encoding entity_category entity_picture
    icon json_attributes_template json_attributes_topic name:str|null object_id origin:map
    payload_available payload_not_available qos:int unique_id""")
SCHEMA = {  # required keys, the component's own keys, its device classes
    "button": (["command_topic"], table("command_template command_topic payload_press retain:bool"),
               "identify restart update"),
    "binary_sensor": (["state_topic"], table("""expire_after:int force_update:bool off_delay:int
                          payload_off payload_on state_topic value_template"""),
                      """battery battery_charging carbon_monoxide cold connectivity door garage_door gas
                      heat light lock moisture motion moving occupancy opening plug power presence
                      problem running safety smoke sound tamper update vibration window"""),
    "sensor": (["state_topic"], table("""expire_after:int force_update:bool last_reset_value_template
                   options:list state_class state_topic suggested_display_precision:int
                   unit_of_measurement:str|null value_template"""), None),
}
# The sensor device classes whose units the documentation lists, of those a machine's state
# could use; "" for none.
SENSOR_UNITS = {"duration": "d h min s ms", "timestamp": "", "enum": "", "data_size": "bit kbit Mbit "
                "Gbit B kB MB GB TB KiB MiB GiB TiB", "data_rate": "bit/s kbit/s Mbit/s Gbit/s B/s kB/s "
                "MB/s GB/s KiB/s MiB/s GiB/s", "signal_strength": "dB dBm", "temperature": "°C °F K"}
STATE_CLASSES = "measurement total total_increasing measurement_angle".split()
DEVICE = table("""configuration_url connections:list hw_version identifiers:str|list manufacturer
    model model_id name serial_number suggested_area sw_version via_device""")
AVAILABILITY = table("topic payload_available payload_not_available value_template")
PY = {"str": str, "bool": bool, "int": int, "list": list, "map": dict, "null": type(None)}

def check_keys(obj, types, where, why):
    for key, value in obj.items():
        if key not in types:
            why.append(f"unknown key {where}{key}")
        elif not any(type(value) is PY[t] for t in types[key].split("|")):  # `is`: true is no int
            why.append(f"{where}{key} must be {types[key].replace('|', ' or ')}, not {json.dumps(value)}")

def check_config(component, cfg, why):
    required, keys, classes = SCHEMA[component]
    check_keys(cfg, {**COMMON, **keys}, "", why)
    why.extend(f"required {key} missing" for key in required if key not in cfg)
    avty = cfg.get("availability")
    if avty is not None and "availability_topic" in cfg:
        why.append("availability and availability_topic must not be used together")
    for i, entry in enumerate(avty if isinstance(avty, list) else []):
        if not isinstance(entry, dict) or "topic" not in entry:
            why.append(f"availability[{i}] must be a map with a topic")
        else:
            check_keys(entry, AVAILABILITY, f"availability[{i}].", why)
    if cfg.get("availability_mode", "latest") not in ("all", "any", "latest"):
        why.append("availability_mode not all, any or latest")
    if cfg.get("qos", 0) not in (0, 1, 2):
        why.append("qos not 0, 1 or 2")
    dev = cfg.get("device")
    if isinstance(dev, dict):
        check_keys(dev, DEVICE, "device.", why)
        if not dev.get("identifiers") and not dev.get("connections"):
            why.append("device has neither identifiers nor connections")
        cns = dev.get("connections", [])
        if not isinstance(cns, list) or not all(isinstance(c, list) and len(c) == 2 and
                                                all(isinstance(x, str) for x in c) for c in cns):
            why.append("device.connections must be [connection_type, value] pairs of strings")
        if "unique_id" not in cfg:
            why.append("device given without unique_id")
    if isinstance(cfg.get("origin"), dict) and "name" not in cfg["origin"]:
        why.append("origin has no name")
    dc = cfg.get("device_class")
    if classes and isinstance(dc, str) and dc not in classes.split():
        why.append(f"device_class {dc!r} not documented for {component}")
    if component == "sensor":
        unit, sc = cfg.get("unit_of_measurement"), cfg.get("state_class")
        if sc is not None and sc not in STATE_CLASSES:
            why.append(f"state_class {sc!r} not documented")
        if isinstance(dc, str):
            if dc not in SENSOR_UNITS:
                why.append(f"device_class {dc!r} not one this checker knows the units of")
            elif unit is not None and unit not in SENSOR_UNITS[dc].split():
                why.append(f"unit_of_measurement {unit!r} not allowed for device_class {dc}")
            elif unit is None and SENSOR_UNITS[dc]:
                why.append(f"device_class {dc} needs a unit_of_measurement")

def check_message(topic, payload):
    """(status, reasons): status ok, removed or FAIL; None for a topic that is no config."""
    levels = topic.split("/")
    if levels[0] != "homeassistant" or levels[-1] != "config":
        return None, []
    if len(levels) not in (4, 5) or levels[1] not in SCHEMA:
        return "FAIL", ["topic not homeassistant/{button,binary_sensor,sensor}/[<node_id>/]<object_id>/config"]
    why = [f"id {i!r} not of [a-zA-Z0-9_-]" for i in levels[2:-1] if not ID.match(i)]
    if payload == "":
        return ("FAIL" if why else "removed"), why
    try:
        cfg = json.loads(payload)
    except ValueError as e:
        return "FAIL", why + [f"payload not JSON ({e})"]
    if not isinstance(cfg, dict):
        return "FAIL", why + ["payload not a JSON object"]
    check_config(levels[1], cfg, why)
    return ("FAIL" if why else "ok"), why

def read_lines(path):
    try:
        with (open(path, "rb") if path not in (None, "-") else sys.stdin.buffer) as f:
            return f.read().decode("utf-8").splitlines()
    except (OSError, UnicodeDecodeError) as e:
        print(f"hadiscovery: cannot read {path or 'stdin'}: {e}", file=sys.stderr)
        sys.exit(2)

def report(status, topic, why):
    print(f"{status} {topic}" + (": " + "; ".join(why) if why else ""))

def self_test(path):
    bad = total = 0
    for n, line in enumerate(read_lines(path), 1):
        if not line.strip() or line.startswith("#"):
            continue
        expect, topic, payload = (line.split("\t", 2) + ["", ""])[:3]
        total += 1
        status, why = check_message(topic, payload)
        if (status or "none").lower() != expect:
            bad += 1
            report("MISMATCH", f"{path}:{n}", [f"expected {expect}, got {status}"] + why)
    print(f"self-test: {total - bad}/{total} cases as expected")
    return 1 if bad or not total else 0

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("file", nargs="?", help="lines of TOPIC<TAB>PAYLOAD (default stdin)")
    ap.add_argument("--expect", action="append", default=[], metavar="TOPIC", help="must end as a config")
    ap.add_argument("--expect-removed", action="append", default=[], metavar="TOPIC", help="must end removed")
    ap.add_argument("--self-test", metavar="CASESFILE", help="run EXPECT<TAB>TOPIC<TAB>PAYLOAD cases")
    args = ap.parse_args()
    if args.self_test:
        return self_test(args.self_test)
    failed, last = False, {}
    for line in read_lines(args.file):
        topic, _, payload = line.partition("\t")
        status, why = check_message(topic, payload)
        if status:
            report(status, topic, why)
            failed |= status == "FAIL"
            last[topic] = "removed" if payload == "" else "config"
    for want, topics in (("config", args.expect), ("removed", args.expect_removed)):
        for topic in topics:
            if last.get(topic) != want:
                report("FAIL", topic, [f"expected {want}, got {last.get(topic, 'nothing')}"])
                failed = True
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
