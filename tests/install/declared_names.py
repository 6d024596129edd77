#!/usr/bin/env python3
"""Reads a preprocessed C header on stdin and prints the names of the
functions and variables it declares at file scope, one per line (type
names, struct members and parameters are not declarations of symbols)."""
import re
import sys

# Pragmas and line markers are not declarations.
text = ''.join(l for l in sys.stdin if not l.lstrip().startswith('#'))
# Statements at file scope: split on ';' outside braces, drop brace bodies.
statements, depth, cur = [], 0, []
for ch in text:
    if ch == '{':
        depth += 1
    elif ch == '}':
        depth -= 1
    elif ch == ';' and depth == 0:
        statements.append(''.join(cur))
        cur = []
        continue
    if depth == 0 and ch not in '{}':
        cur.append(ch)
    elif depth == 1 and ch == '{':
        cur.append(' ')
for stmt in statements:
    stmt = ' '.join(stmt.split())
    stmt = re.sub(r'__attribute__\s*\(\(.*?\)\)', '', stmt)
    stmt = stmt.replace('extern "C"', '')
    if not stmt or stmt.startswith('typedef'):
        continue
    # The declared name is the identifier just before the parameter list or
    # the array bounds, or the last identifier of a plain declaration.
    m = re.search(r'([A-Za-z_]\w*)\s*(\(|\[)', stmt) or re.search(r'([A-Za-z_]\w*)\s*$', stmt)
    if m and m.group(1) not in ('struct', 'enum', 'union'):
        print(m.group(1))
