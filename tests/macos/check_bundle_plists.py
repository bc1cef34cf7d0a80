#!/usr/bin/env python3
"""Checks the system extension's and its container app's property lists.

The system reads these files, not our code: a wrong key or type fails only at activation on a Mac,
so every key the extension depends on is checked here, and the class name the plist gives is
compared with the one the provider source registers with the Objective-C runtime.

--self-test feeds the checks broken copies of the files and fails unless each copy is rejected.
"""
import argparse
import json
import plistlib
import re
import sys

BUNDLE_ID = "com.quillnest.mac.filter"
PROVIDER_CLASS = "com_quillnest_mac_filter.FilterDataProvider"
FILTER_DATA_POINT = "com.apple.networkextension.filter-data"
SAMPLE = {"PROJECT_VERSION": "9.8.7", "QUILLNEST_MACOS_TEAM_ID": "ABCDE12345"}
APP_ID = "com.quillnest.mac"
APP_EXECUTABLE = "QuillnestFilter"
APP_ENTITLEMENTS = {
    "com.apple.developer.networking.networkextension": ["content-filter-provider-systemextension"],
    "com.apple.developer.system-extension.install": True,
}
ENTITLEMENTS = {
    "com.apple.developer.networking.networkextension": ["content-filter-provider-systemextension"],
    "com.apple.security.app-sandbox": True,
}


class CheckError(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise CheckError(message)


def parse(text, name):
    try:
        value = plistlib.loads(text.encode("utf-8"), fmt=plistlib.FMT_XML)
    except Exception as error:  # plistlib raises several kinds for bad XML
        raise CheckError(f"{name}: not a valid XML property list: {error}")
    expect(isinstance(value, dict), f"{name}: the top level is not a dictionary")
    return value


def configure(template):
    """Substitutes @VAR@ as CMake's configure_file(@ONLY) does, for the variables CMake sets."""
    def substitute(match):
        name = match.group(1)
        expect(name in SAMPLE, f"Info.plist.in: @{name}@ is not a variable the build sets")
        return SAMPLE[name]
    return re.sub(r"@([A-Za-z0-9_]+)@", substitute, template)


def check_info(template):
    info = parse(configure(template), "Info.plist.in")
    for key, value in [
        ("CFBundleIdentifier", BUNDLE_ID),
        ("CFBundleExecutable", BUNDLE_ID),
        ("CFBundlePackageType", "SYSX"),
        ("CFBundleShortVersionString", SAMPLE["PROJECT_VERSION"]),
        ("CFBundleVersion", SAMPLE["PROJECT_VERSION"]),
    ]:
        expect(info.get(key) == value, f"Info.plist.in: {key} is {info.get(key)!r}, not {value!r}")
    usage = info.get("NSSystemExtensionUsageDescription")
    expect(isinstance(usage, str) and usage.strip(),
           "Info.plist.in: NSSystemExtensionUsageDescription is missing or empty")
    extension = info.get("NetworkExtension")
    expect(isinstance(extension, dict), "Info.plist.in: NetworkExtension is not a dictionary")
    classes = extension.get("NEProviderClasses")
    expect(classes == {FILTER_DATA_POINT: PROVIDER_CLASS},
           f"Info.plist.in: NEProviderClasses is {classes!r}, "
           f"not {{{FILTER_DATA_POINT!r}: {PROVIDER_CLASS!r}}}")
    # The Mach service must live under the app group CMake adds to the signing entitlements.
    team = SAMPLE["QUILLNEST_MACOS_TEAM_ID"]
    service = extension.get("NEMachServiceName")
    expect(service == f"{team}.{BUNDLE_ID}",
           f"Info.plist.in: NEMachServiceName is {service!r}, not '<team>.{BUNDLE_ID}'")
    expect(service.startswith(f"{team}.com.quillnest."),
           "Info.plist.in: NEMachServiceName is not under the app group <team>.com.quillnest")
    return info


def check_entitlements(text, expected=None, name="entitlements"):
    expected = ENTITLEMENTS if expected is None else expected
    entitlements = parse(text, name)
    expect(set(entitlements) == set(expected),
           f"{name}: keys are {sorted(entitlements)}, not {sorted(expected)}")
    for key, value in expected.items():
        actual = entitlements[key]
        # True == 1 in Python: the type matters, <integer>1</integer> is not <true/>.
        expect(type(actual) is type(value) and actual == value,
               f"{name}: {key} is {actual!r}, not {value!r}")


def check_app_info(template):
    info = parse(configure(template), "app/Info.plist.in")
    for key, value in [
        ("CFBundleIdentifier", APP_ID),
        ("CFBundleExecutable", APP_EXECUTABLE),
        ("CFBundlePackageType", "APPL"),
    ]:
        expect(info.get(key) == value,
               f"app/Info.plist.in: {key} is {info.get(key)!r}, not {value!r}")
    # macOS takes only extensions whose identifier extends the carrying app's.
    expect(BUNDLE_ID.startswith(info["CFBundleIdentifier"] + "."),
           "app/Info.plist.in: the extension's identifier does not extend the app's")


def check_app_source(source):
    names = re.findall(r'kExtensionIdentifier\s*=\s*@"([^"]*)"', source)
    expect(names == [BUNDLE_ID],
           f"FilterControl.mm: the app asks for extension {names!r}, not {BUNDLE_ID!r}")


def check_rules(text):
    try:
        rules = json.loads(text)
    except ValueError as error:
        raise CheckError(f"rules.example.json: not JSON: {error}")
    expect(isinstance(rules, dict) and type(rules.get("isEnabled")) is bool
           and isinstance(rules.get("domains"), list)
           and all(isinstance(domain, str) for domain in rules["domains"]),
           "rules.example.json: not {\"isEnabled\": boolean, \"domains\": [strings]}")


def check_provider(source):
    names = re.findall(r'objc_runtime_name\("([^"]*)"\)\)\)\s*@interface\s+(\w+)\s*:\s*(\w+)',
                       source)
    expect(len(names) == 1, "FilterDataProvider.mm: no single objc_runtime_name on an @interface")
    runtime_name, _, superclass = names[0]
    expect(runtime_name == PROVIDER_CLASS,
           f"FilterDataProvider.mm: the runtime name is {runtime_name!r}, "
           f"but NEProviderClasses names {PROVIDER_CLASS!r}")
    expect(superclass == "NEFilterDataProvider",
           f"FilterDataProvider.mm: the provider subclasses {superclass}, not NEFilterDataProvider")
    # The base class's behaviour stands for every callback not listed (inbound data among them).
    methods = set(provider_methods(source))
    expect(methods == PROVIDER_METHODS,
           f"FilterDataProvider.mm: the provider defines {sorted(methods)}, "
           f"not {sorted(PROVIDER_METHODS)}")


PROVIDER_METHODS = {
    "init",
    "dealloc",
    "coreFlowFor:",
    "startFilterWithCompletionHandler:",
    "stopFilterWithReason:completionHandler:",
    "handleNewFlow:",
    "handleReport:",
    "handleOutboundDataFromFlow:readBytesStartOffset:readBytes:",
    "handleOutboundDataCompleteForFlow:",
}


def provider_methods(source):
    """Selectors of the instance methods defined in the provider's @implementation."""
    body = source.split("@implementation", 1)[-1].split("@end", 1)[0]
    for signature in re.findall(r"^-\s*\(.*?\)\s*([^{;]*)\{", body, re.M | re.S):
        labels = re.findall(r"(\w+)\s*:", signature)
        yield "".join(label + ":" for label in labels) if labels else signature.strip()


def check_all(files):
    check_info(files["info"])
    check_entitlements(files["entitlements"])
    check_provider(files["provider"])
    check_app_info(files["app_info"])
    check_entitlements(files["app_entitlements"], APP_ENTITLEMENTS, "app entitlements")
    check_app_source(files["app_source"])
    check_rules(files["rules"])


MUTATIONS = [
    ("info", "<string>SYSX</string>", "<string>APPL</string>"),
    ("info", FILTER_DATA_POINT, "com.apple.networkextension.filter-packet"),
    ("info", f"<string>{PROVIDER_CLASS}</string>", "<string>FilterDataProvider</string>"),
    ("info", "@QUILLNEST_MACOS_TEAM_ID@", "@QUILLNEST_TEAM@"),
    ("info", "<key>CFBundleIdentifier</key>\n\t<string>com.quillnest.mac.filter</string>",
     "<key>CFBundleIdentifier</key>\n\t<string>com.quillnest.filter</string>"),
    ("info", "</dict>\n</plist>", "</plist>"),
    ("entitlements", "<true/>", "<integer>1</integer>"),
    ("entitlements", "<true/>", "<string>true</string>"),
    ("entitlements", "content-filter-provider-systemextension", "content-filter-provider"),
    ("entitlements", "</dict>", "\t<key>com.apple.security.network.client</key>\n\t<true/>\n</dict>"),
    ("provider", f'objc_runtime_name("{PROVIDER_CLASS}")', 'objc_runtime_name("FilterDataProvider")'),
    ("provider", ": NEFilterDataProvider", ": NEFilterProvider"),
    ("provider", "(_core->handleOutboundDataCompleteForFlow(coreFlow));\n}\n",
     "(_core->handleOutboundDataCompleteForFlow(coreFlow));\n}\n\n"
     "- (NEFilterDataVerdict*)handleInboundDataCompleteForFlow:(NEFilterFlow*)flow {\n"
     "  return [NEFilterDataVerdict allowVerdict];\n}\n"),
    ("provider", "- (void)handleReport:(NEFilterReport*)report {", "- (void)handleReports:(NEFilterReport*)report {"),
    ("app_info", "<string>com.quillnest.mac</string>", "<string>com.quillnest.app</string>"),
    ("app_info", "<string>QuillnestFilter</string>", "<string>Quillnest Filter</string>"),
    ("app_entitlements", "com.apple.developer.system-extension.install",
     "com.apple.developer.system-extension.instal"),
    ("app_entitlements", "<true/>", "<false/>"),
    ("app_source", '@"com.quillnest.mac.filter"', '@"com.quillnest.filter"'),
    ("rules", '"isEnabled": true', '"isEnabled": "true"'),
    ("rules", "]}", "]"),
]


def self_test(files):
    check_all(files)
    failures = 0
    for target, old, new in MUTATIONS:
        if old not in files[target]:
            print(f"self-test: {target} no longer contains {old!r}; update the mutation")
            failures += 1
            continue
        broken = dict(files)
        broken[target] = files[target].replace(old, new, 1)
        try:
            check_all(broken)
        except CheckError as error:
            print(f"rejected as expected: {error}")
            continue
        print(f"self-test: replacing {old!r} by {new!r} in {target} was not rejected")
        failures += 1
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--info", required=True)
    parser.add_argument("--entitlements", required=True)
    parser.add_argument("--provider", required=True)
    parser.add_argument("--app-info", required=True)
    parser.add_argument("--app-entitlements", required=True)
    parser.add_argument("--app-source", required=True)
    parser.add_argument("--rules", required=True)
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    files = {}
    for key, path in [("info", args.info), ("entitlements", args.entitlements),
                      ("provider", args.provider), ("app_info", args.app_info),
                      ("app_entitlements", args.app_entitlements),
                      ("app_source", args.app_source), ("rules", args.rules)]:
        with open(path, encoding="utf-8") as handle:
            files[key] = handle.read()
    try:
        if args.self_test:
            failures = self_test(files)
            print(f"{len(MUTATIONS) - failures} passed, {failures} failed")
            return 1 if failures else 0
        check_all(files)
    except CheckError as error:
        print(f"error: {error}")
        return 1
    print("The extension's and the app's property lists, class and identifiers agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
