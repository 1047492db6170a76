#!/usr/bin/python3
"""The refinement of sampled power-cut points into exact windows, on made-up firmwares whose
outcome at every write is known."""

import math
import unittest

from uefi_vm.bench.refine import boundaries, refine, windows


def firmware(spans):
    """An outcome function: SPANS are (first, last, outcome) of the writes that break; every other
    write leaves "old"."""
    def outcome(k):
        return next((what for first, last, what in spans if first <= k <= last), "old")
    return outcome


class Refine(unittest.TestCase):
    def test_windows_found_exactly(self):
        # A brick of one write, a loss of 40, and a loss that no sample lands in; refined one VM
        # at a time, and with more VMs than boundaries (a gap cut into thirds and more).
        truth = firmware([(300, 300, "brick"), (500, 539, "lost"), (810, 812, "lost")])
        sample = {k: truth(k) for k in range(0, 1001, 100)}
        sample[300] = truth(300)
        rounds = {}
        for width in (1, 2, 8):
            with self.subTest(width=width):
                booted, rounds[width] = [], 0

                def boot(ks):
                    rounds[width] += 1
                    booted.extend(ks)
                    return {k: truth(k) for k in ks}

                known, boots = refine(sample, boot, width)
                self.assertEqual(boots, len(booted))
                self.assertEqual(len(booted), len(set(booted)))
                self.assertEqual(boundaries(known), [])
                self.assertTrue(all(known[k] == truth(k) for k in known))
                found = [(w.first, w.last, w.outcome) for w in windows(known)
                         if w.outcome != "old"]
                # 810..812 lies between two "old" samples (800 and 900): refining cannot see it.
                self.assertEqual(found, [(300, 300, "brick"), (500, 539, "lost")])
        # About log2(gap) + 1 boots for each of the four boundaries, gaps of 100, one at a time;
        # with two VMs per boundary, the rounds drop to about log3(100).
        self.assertLessEqual(rounds[1], math.ceil(math.log2(100)) + 1)
        self.assertLessEqual(rounds[8], math.ceil(math.log(100, 3)) + 1)

    def test_nothing_to_refine(self):
        for sample in ({}, {5: "old"}, {1: "old", 2: "new"}, {0: "old", 50: "old"}):
            with self.subTest(sample=sample):
                self.assertEqual(refine(sample, lambda ks: self.fail(ks)), (sample, 0))

    def test_a_boot_that_loses_a_point(self):
        with self.assertRaises(ValueError):
            refine({0: "old", 10: "new"}, lambda ks: {})


if __name__ == "__main__":
    unittest.main()
