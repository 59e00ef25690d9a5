"""Writes amlw.csv: the aml example with a GROUP= column g and three weight
columns, w (0.5 to 2), w150 (w times 1e150) and wtiny (w times 1e-200), so
that the weighted tests of the three can be compared."""
import csv
import os

here = os.path.dirname(os.path.abspath(__file__))
rows = list(csv.DictReader(open(os.path.join(here, '..', '..', '..', 'examples', 'aml.csv'))))
with open(os.path.join(here, 'amlw.csv'), 'w') as f:
    f.write('time,status,x,g,w,w150,wtiny\n')
    for i, r in enumerate(rows):
        w = 0.5 + 0.25 * (i % 7)
        f.write(f"{r['time']},{r['status']},{r['x']},{'ab'[i % 2]},{w!r},{w * 1e150!r},{w * 1e-200!r}\n")
