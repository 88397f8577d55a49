#!/usr/bin/python3
"""Checks Home Assistant MQTT discovery configs, as `mosquitto_sub -F '%t\\t%p'` prints them.

Usage: hadiscovery.py [--expect TOPIC]... [--expect-removed TOPIC]... [FILE]  (stdin without FILE)
       hadiscovery.py --self-test CASESFILE
Prints `ok TOPIC`, `removed TOPIC` or `FAIL TOPIC: reasons` per message on a homeassistant/.../config
topic (others, e.g. homeassistant/status, are no configs and passed over). Exit 0 if nothing failed,
1 otherwise, 2 for unreadable input. From Home Assistant's documentation (read in its sources,
github.com/home-assistant/home-assistant.io and github.com/home-assistant/developers.home-assistant):
  https://www.home-assistant.io/integrations/mqtt/ (discovery topic, payload, abbreviations, availability)
  https://www.home-assistant.io/integrations/{button,binary_sensor,sensor}.mqtt/
  https://www.home-assistant.io/integrations/{button,binary_sensor,sensor}/#device-class
  https://developers.home-assistant.io/docs/core/entity/sensor/#available-state-classes
"""
import argparse, json, re, sys

def table(text):  # "key:type key ..." -> {key: type}; type str unless given
    return dict((word.split(":") + ["str"])[:2] for word in text.split())

PREFIX = "homeassistant"
# Components that take discovery (mqtt page), plus `device` for device-based discovery.
COMPONENTS = set("""alarm_control_panel binary_sensor button camera climate cover device_automation
    device_tracker event fan humidifier image lawn_mower light lock notify number scene select
    sensor siren switch tag text update vacuum valve water_heater device""".split())
ID_RE = re.compile(r"^[a-zA-Z0-9_-]+$")  # node_id and object_id
# Types as documented: str, bool, int, list, map; "|null" where the docs say it "can be null".
# Options every one of the button/binary_sensor/sensor pages lists (platform: device-based only),
# then the discovery payload's own: origin info, base topic ~, migration flag.
COMMON = table("""availability:list availability_mode availability_template availability_topic
    device:map device_class:str|null enabled_by_default:bool encoding entity_category
    entity_picture icon json_attributes_template json_attributes_topic name:str|null object_id
    payload_available payload_not_available platform qos:int unique_id
    origin:map ~ migrate_discovery:bool""")
SCHEMA = {  # required options, further options, device classes
    "button": (["command_topic"], table("command_template command_topic payload_press retain:bool"),
               "identify restart update"),
    "binary_sensor": (["state_topic"], table("""expire_after:int force_update:bool off_delay:int
                          payload_off payload_on state_topic value_template"""),
                      """battery battery_charging carbon_monoxide cold connectivity door garage_door
                      gas heat light lock moisture motion moving occupancy opening plug power
                      presence problem running safety smoke sound tamper update vibration window"""),
    "sensor": (["state_topic"], table("""expire_after:int force_update:bool
                   last_reset_value_template options:list state_class state_topic
                   suggested_display_precision:int unit_of_measurement:str|null value_template"""),
               None),  # SENSOR_UNITS below
}
# Sensor device classes -> units (sensor page, "Device class"); "" no unit; None not checked.
SENSOR_UNITS = {name: units for names, units in [
    ("apparent_power", "VA"), ("reactive_power", "var"), ("illuminance", "lx"),
    ("area", "m², cm², km², mm², in², ft², yd², mi², ac, ha"),
    ("atmospheric_pressure pressure", "cbar, bar, hPa, mmHg, inHg, kPa, mbar, Pa, psi"),
    ("battery humidity moisture power_factor", "%"), ("current", "A, mA"),
    ("blood_glucose_concentration", "mg/dL, mmol/L"), ("carbon_dioxide carbon_monoxide", "ppm"),
    ("data_rate", "bit/s, kbit/s, Mbit/s, Gbit/s, B/s, kB/s, MB/s, GB/s, KiB/s, MiB/s, GiB/s"),
    ("data_size", "bit, kbit, Mbit, Gbit, B, kB, MB, GB, TB, PB, EB, ZB, YB, KiB, MiB, GiB, TiB, "
                  "PiB, EiB, ZiB, YiB"),
    ("distance", "km, m, cm, mm, mi, nmi, yd, in"), ("duration", "d, h, min, s, ms"),
    ("energy energy_storage", "J, kJ, MJ, GJ, mWh, Wh, kWh, MWh, GWh, TWh, cal, kcal, Mcal, Gcal"),
    ("frequency", "Hz, kHz, MHz, GHz"), ("gas", "m³, ft³, CCF"),
    ("irradiance", "W/m², BTU/(h⋅ft²)"), ("power", "mW, W, kW, MW, GW, TW"),
    ("nitrogen_dioxide nitrogen_monoxide nitrous_oxide ozone pm1 pm25 pm10 sulphur_dioxide "
     "volatile_organic_compounds", "µg/m³"), ("volatile_organic_compounds_parts", "ppm, ppb"),
    ("precipitation", "cm, in, mm"), ("precipitation_intensity", "in/d, in/h, mm/d, mm/h"),
    ("signal_strength", "dB, dBm"), ("sound_pressure", "dB, dBA"),
    ("speed", "ft/s, in/d, in/h, in/s, km/h, kn, m/s, mph, mm/d, mm/s"),
    ("temperature", "°C, °F, K"), ("voltage", "V, mV, µV, kV, MV"),
    ("volume volume_storage", "L, mL, gal, fl. oz., m³, ft³, CCF"),
    ("volume_flow_rate", "m³/h, ft³/min, L/min, gal/min, mL/s"), ("water", "L, gal, m³, ft³, CCF"),
    ("weight", "kg, g, mg, µg, oz, lb, st"), ("wind_speed", "Beaufort, ft/s, km/h, kn, m/s, mph"),
    ("aqi ph date timestamp enum", ""), ("monetary", None)] for name in names.split()}
NOT_NUMERIC = {"date", "timestamp", "enum"}  # no unit, no state_class
STATE_CLASSES = {"measurement", "total", "total_increasing", "measurement_angle"}
DEVICE = table("""configuration_url connections:list hw_version identifiers:str|list manufacturer
    model model_id name serial_number suggested_area sw_version via_device""")
ORIGIN = table("name sw_version support_url")
AVAIL = table("topic payload_available payload_not_available value_template")
# Documented abbreviations (mqtt page), for the options above.
ABBR = table("""avty:availability avty_mode:availability_mode avty_t:availability_topic
    avty_tpl:availability_template cmd_t:command_topic cmd_tpl:command_template cmps:components
    dev:device dev_cla:device_class e:encoding en:enabled_by_default ent_cat:entity_category
    ent_pic:entity_picture exp_aft:expire_after frc_upd:force_update ic:icon
    json_attr_t:json_attributes_topic json_attr_tpl:json_attributes_template
    lrst_val_tpl:last_reset_value_template migr_discvry:migrate_discovery o:origin obj_id:object_id
    off_dly:off_delay ops:options p:platform pl_avail:payload_available
    pl_not_avail:payload_not_available pl_off:payload_off pl_on:payload_on pl_prs:payload_press
    ret:retain stat_cla:state_class stat_t:state_topic sug_dsp_prc:suggested_display_precision
    t:topic uniq_id:unique_id unit_of_meas:unit_of_measurement val_tpl:value_template""")
DEV_ABBR = table("""cu:configuration_url cns:connections ids:identifiers mf:manufacturer mdl:model
    mdl_id:model_id hw:hw_version sw:sw_version sa:suggested_area sn:serial_number""")
ORIGIN_ABBR = table("sw:sw_version url:support_url")
PY = {"str": str, "bool": bool, "int": int, "list": list, "map": dict, "null": type(None)}

def expand(obj, abbr, where, why):  # abbreviations -> full names
    out = {}
    for key, value in obj.items():
        if abbr.get(key, key) in out:
            why.append(f"{where}{abbr.get(key, key)} given twice")
        out[abbr.get(key, key)] = value
    return out

def check_map(obj, types, where, why, strict=True):
    for key, value in obj.items():
        if key not in types:
            why.extend([f"unknown key {where}{key}"] if strict else [])
        elif not any(type(value) is PY[t] for t in types[key].split("|")):  # `is`: true no int
            why.append(f"{where}{key} must be {types[key].replace('|', ' or ')}, "
                       f"not {json.dumps(value)}")

def check_common(cfg, component, why):
    avty = cfg.get("availability")
    if avty is not None and cfg.get("availability_topic") is not None:
        why.append("availability and availability_topic must not be used together")
    if isinstance(avty, list):
        why.extend([] if avty else ["availability is an empty list"])
        for i, entry in enumerate(avty):
            if not isinstance(entry, dict):
                why.append(f"availability[{i}] must be a map")
                continue
            entry = expand(entry, ABBR, f"availability[{i}].", why)
            check_map(entry, AVAIL, f"availability[{i}].", why)
            why.extend([] if "topic" in entry else [f"availability[{i}] has no topic"])
    if cfg.get("availability_mode", "latest") not in ("all", "any", "latest"):
        why.append(f"availability_mode {cfg['availability_mode']!r} not all/any/latest")
    if cfg.get("qos", 0) not in (0, 1, 2):
        why.append(f"qos {cfg['qos']!r} not 0, 1 or 2")
    cat = cfg.get("entity_category")  # sensor pages: "must be diagnostic for sensors"
    if cat is not None and cat not in ("diagnostic",) + (() if "sensor" in component else ("config",)):
        why.append(f"entity_category {cat!r} not allowed for {component}")
    dev = cfg.get("device")
    if isinstance(dev, dict):
        dev = expand(dev, DEV_ABBR, "device.", why)
        check_map(dev, DEVICE, "device.", why)
        ids, cns = dev.get("identifiers"), dev.get("connections")
        if not ids and not cns:
            why.append("device has neither identifiers nor connections")
        if isinstance(ids, list) and not all(isinstance(x, str) for x in ids):
            why.append("device.identifiers must be strings")
        if isinstance(cns, list) and not all(isinstance(c, list) and len(c) == 2 and
                                             all(isinstance(x, str) for x in c) for c in cns):
            why.append("device.connections must be [connection_type, value] pairs of strings")
        if "unique_id" not in cfg and component != "device":
            why.append("device given without unique_id")
    if isinstance(cfg.get("origin"), dict):
        org = expand(cfg["origin"], ORIGIN_ABBR, "origin.", why)
        check_map(org, ORIGIN, "origin.", why)
        why.extend([] if "name" in org else ["origin has no name"])
    for key, value in cfg.items():
        if key.endswith("_topic") and isinstance(value, str) and "~" not in cfg and \
                (value.startswith("~") or value.endswith("~")):
            why.append(f"{key} uses ~ but no base topic ~ is given")

def check_sensor(cfg, why):
    dc, unit, sc = (v if isinstance(v, str) else None  # wrong types are reported already
                    for v in map(cfg.get, ("device_class", "unit_of_measurement", "state_class")))
    if sc is not None and sc not in STATE_CLASSES:
        why.append(f"state_class {sc!r} not one of {', '.join(sorted(STATE_CLASSES))}")
    if dc is not None and dc not in SENSOR_UNITS:
        why.append(f"device_class {dc!r} not a documented sensor device class")
    units = SENSOR_UNITS.get(dc)
    if units is not None:
        allowed = units.split(", ") if units else []
        if unit is not None and unit not in allowed:
            why.append(f"unit_of_measurement {unit!r} not allowed for device_class {dc} "
                       f"({units or 'no unit'})")
        if unit is None and allowed and dc != "power_factor":  # power_factor: "may be None or %"
            why.append(f"device_class {dc} needs unit_of_measurement ({units})")
    if dc in NOT_NUMERIC and sc is not None:
        why.append(f"state_class not allowed with device_class {dc}")
    if sc == "measurement" and dc in ("energy", "gas", "monetary"):
        why.append(f"state_class measurement not allowed with device_class {dc}")
    if "last_reset_value_template" in cfg and sc != "total":
        why.append("last_reset_value_template needs state_class total")
    if ("options" in cfg) != (dc == "enum"):
        why.append("options and device_class enum go together")
    ops = cfg.get("options", ["-"])
    if not isinstance(ops, list) or not ops or not all(isinstance(x, str) for x in ops):
        why.append("options must be a non-empty list of strings")

def check_config(component, cfg, why):
    cfg = expand(cfg, ABBR, "", why)
    if cfg.get("migrate_discovery") is True:
        return  # the documented migration message {"migrate_discovery": true}
    if component == "device":  # device-based discovery: must have device, origin, components
        why.extend(f"device discovery needs map {key}" for key in ("device", "origin", "components")
                   if not isinstance(cfg.get(key), dict))
        return check_common(cfg, component, why)
    required, keys, classes = SCHEMA.get(component, ([], {}, None))
    check_map(cfg, {**COMMON, **keys}, "", why, strict=component in SCHEMA)
    if "platform" in cfg:
        why.append("platform is only allowed in device-based discovery")
    check_common(cfg, component, why)
    why.extend(f"required {key} missing" for key in required if key not in cfg)
    dc = cfg.get("device_class")
    if classes and isinstance(dc, str) and dc not in classes.split():
        why.append(f"device_class {dc!r} not documented for {component}")
    if component == "sensor":
        check_sensor(cfg, why)

def check_message(topic, payload):
    """Returns (status, reasons), status ok, removed, FAIL or None (not a config topic)."""
    levels = topic.split("/")
    if levels[0] != PREFIX or levels[-1] != "config":
        return None, []
    why = []
    if len(levels) not in (4, 5):
        why.append("topic not <prefix>/<component>/[<node_id>/]<object_id>/config")
    elif levels[1] not in COMPONENTS:
        why.append(f"unknown component {levels[1]!r}")
    why.extend(f"id {i!r} not of [a-zA-Z0-9_-]" for i in levels[2:-1] if not ID_RE.match(i))
    if payload == "":
        return ("FAIL" if why else "removed"), why

    def no_duplicates(pairs):
        keys = [k for k, _ in pairs]
        why.extend(f"key {k} given twice" for k in sorted(set(keys)) if keys.count(k) > 1)
        return dict(pairs)
    try:
        cfg = json.loads(payload, object_pairs_hook=no_duplicates)
    except ValueError as e:
        return "FAIL", why + [f"payload not JSON ({e})"]
    if not isinstance(cfg, dict):
        return "FAIL", why + ["payload not a JSON object"]
    check_config(levels[1] if len(levels) in (4, 5) else "", cfg, why)
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
        fields = line.split("\t", 2)
        if len(fields) != 3 or fields[0] not in ("ok", "removed", "fail"):
            print(f"{path}:{n}: not EXPECT<TAB>TOPIC<TAB>PAYLOAD", file=sys.stderr)
            return 2
        total += 1
        status, why = check_message(fields[1], fields[2])
        if (status or "none").lower() != fields[0]:
            bad += 1
            report("MISMATCH", f"{path}:{n}", [f"expected {fields[0]}, got {status}"] + why)
    print(f"self-test: {total - bad}/{total} cases as expected")
    return 1 if bad or not total else 0

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("file", nargs="?", help="lines of TOPIC<TAB>PAYLOAD (default stdin)")
    ap.add_argument("--expect", action="append", default=[], metavar="TOPIC", help="must end as a config")
    ap.add_argument("--expect-removed", action="append", default=[], metavar="TOPIC",
                    help="must end removed (empty payload)")
    ap.add_argument("--self-test", metavar="CASESFILE", help="run EXPECT<TAB>TOPIC<TAB>PAYLOAD cases")
    args = ap.parse_args()
    if args.self_test:
        return self_test(args.self_test)
    failed, last = False, {}
    for line in read_lines(args.file):
        if not line.startswith(PREFIX + "/"):
            continue
        topic, tab, payload = line.partition("\t")
        status, why = check_message(topic, payload)
        if status and not tab:
            status, why = "FAIL", ["line without TAB"]
        if status:
            report(status, topic, why)
            failed |= status == "FAIL"
            if tab:
                last[topic] = "removed" if payload == "" else "config"
    for want, topics in (("config", args.expect), ("removed", args.expect_removed)):
        for topic in topics:
            if last.get(topic) != want:
                got = f"got {last[topic]}" if topic in last else "missing"
                report("FAIL", topic, [f"expected {want}, {got}"])
                failed = True
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
