#!/usr/bin/env python3
"""Writes the rule table of the compiled-in Public Suffix List from the list's text form (on
Debian: /usr/share/publicsuffix/public_suffix_list.dat, package publicsuffix).

Usage: gen_public_suffix.py LIST OUTPUT

Both sections (ICANN and private) go in. Rules come out in the form host names take in URLs:
lower case, labels that are not ASCII in their IDNA ("xn--") form. "*.x" rules are listed by x,
"!x" rules by x; each list is sorted for binary search."""
import sys
import unicodedata


def ascii_form(rule):
    labels = []
    for label in rule.split("."):
        label = unicodedata.normalize("NFC", label.lower())
        if label.isascii():
            labels.append(label)
        else:
            labels.append("xn--" + label.encode("punycode").decode("ascii"))
    return ".".join(labels)


def main(source, target):
    rules, wildcards, exceptions = set(), set(), set()
    with open(source, encoding="utf-8") as f:
        for line in f:
            # A rule is the first word of a line; comments start with "//".
            words = line.split()
            if not words or words[0].startswith("//"):
                continue
            rule = words[0]
            if rule.startswith("!"):
                exceptions.add(ascii_form(rule[1:]))
            elif rule.startswith("*."):
                wildcards.add(ascii_form(rule[2:]))
            elif "*" in rule:
                sys.exit(f"{source}: a wildcard the matcher does not know: {rule}")
            else:
                rules.add(ascii_form(rule))
    if len(rules) < 1000:
        sys.exit(f"{source}: only {len(rules)} rules; not the list")

    def array(name, items):
        body = "".join(f'    "{item}",\n' for item in sorted(items))
        return f"constexpr std::string_view {name}[] = {{\n{body}}};\n"

    with open(target, "w", encoding="ascii") as out:
        out.write("// Generated at build time by tools/gen_public_suffix.py; do not edit.\n")
        out.write(array("kRules", rules))
        out.write(array("kWildcardRules", wildcards))
        out.write(array("kExceptionRules", exceptions))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
