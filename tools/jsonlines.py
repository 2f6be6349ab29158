#!/usr/bin/env python3
# The lines pdex and pdcp print (the list, --check, --records, the time
# stamp), made from their --json document alone by python's own parser: the
# tests compare them with the plain output of the same run, so that every
# field a line shows is in the document, with the same value and every byte
# of each name (names are Latin-1 code points, one a byte).
import json, re, sys, time
d = json.load(open(sys.argv[1])); out = []
assert d['version'] == 1, 'the schema is version 1'
b = lambda s: s.encode('latin-1')
when = lambda t: b(time.strftime('%a %b %e %H:%M:%S %Y', time.gmtime(t['unix'])))
assert all(time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(t['unix'])) == t['utc'] for t in
           [d.get('time', {'unix': 0, 'utc': '1970-01-01T00:00:00Z'})] + [s['created'] for s in d.get('sections', [])])
if 'sections' in d:
    out += [b'Sec  Blks  Data size  Prio  Created                   Name\n'] if d['sections'] else []
    out += [b'%3d  %4d  %9d  %4d  %s  %s%s\n' % (s['number'], s['blocks'], s['data_size'], s['priority'],
            when(s['created']), b(s['name']), b' (damaged)' if s['damaged'] else b'') for s in d['sections']]
    out += [b'Total %d sections saved for %s at %s\n' % (d['count'], b(d['saved_for']), when(d['time']))]
for r in d.get('records', []):
    out += [b'%d\t%s\t%d\t%d\t%d\t%d\t%s\n' % (r['offset'], b(r['kind']), r['hsz'], r['bsz'], r['dsz'], r['section'],
            bytes(c if 32 <= c <= 126 else 63 for c in b(r.get('name', r.get('reason', '')))))]
if 'bytes_after' in d:
    f, g = b(d['file']), d['damage']
    if g:  # the section the damage is in: the one its record is "of", else none
        assert g['section'] == int((re.search(rb'of section (\d+)', b(g['record'])) or [0, 0])[1])
        out += [b'%s: damaged at byte %d: %s: %s\n' % (f, g['offset'], b(g['record']), b(g['reason']))]
    else:
        n, a = d['count'], d['bytes_after']
        out += [b'%s: %s: %d section%s, end-of-dump header at byte %d%s\n' % (f, b'salvaged copy' if d['salvaged']
                else b'intact', n, b'' if n == 1 else b's', d['end_of_dump'], b', %d byte%s after it' % (a, b'' if
                a == 1 else b's') if a else b'')]
        out += [b'%s: salvage: %s\n' % (f, b(l)) for l in d['salvaged'] or []]
if 'count' not in d:
    out += [b'%d %s %s\n' % (d['time']['unix'], b(d['saved_for']), when(d['time']))]
sys.stdout.buffer.write(b''.join(out))
