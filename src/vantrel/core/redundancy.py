"""Counting the fixed-effect parameters that the degrees of freedom should charge for.

Nesting is recognised by shared variable names in the "#"-joined terms, the way
Stata lists absorbed degrees of freedom; the data are never searched for nested groups.
"""

import numpy as np


def _count_groups(data, names):
    # Groups that have rows: pandas counts the unused entries of some key types (Arrow
    # dictionaries) as groups of their own, which would charge them as parameters.
    # (rows with a missing key have no group: NaN or -1)
    codes = data.groupby(names).ngroup().dropna().to_numpy(dtype=np.int64)
    return int(np.count_nonzero(np.bincount(codes[codes >= 0])))


def calculate_fe_redundancies(data, fixedeffects, fenames, setype=None, clustvars=None):
    """Categories, redundant and remaining coefficients of every fixed-effect term.

    An effect containing a cluster variable is fully redundant under clustered standard
    errors; a later effect is charged for the largest overlap (in variable names) with any
    earlier one.

    Parameters
    ----------
    data : pandas.DataFrame
        The estimation sample, with the effects' columns.
    fixedeffects : list of str
        The terms, each a column name or names joined by "#".
    fenames : list of str
        Accepted for the driver's calls; not read.
    setype : str, optional
        The covariance type ("cluster" and its aliases make cluster variables count).
    clustvars : list of str, optional
        The cluster variables.

    Returns
    -------
    dict
        Keyed by term (first-occurrence order), of dicts with the keys "categories",
        "redundant" and "num_coefs".
    """
    fe_redundancies = {}
    clustvars = [] if clustvars is None else list(clustvars)
    for i, fe_spec in enumerate(fixedeffects):
        fe_vars = fe_spec.split("#")
        n_categories = _count_groups(data, fe_vars)
        if setype == "cluster" and any(var in clustvars for var in fe_vars):
            redundant = n_categories
        elif i == 0:
            redundant = 0
        else:
            max_redundant = 0
            for j in range(i):
                prev_fe_vars = fixedeffects[j].split("#")
                overlap_vars = [var for var in fe_vars if var in prev_fe_vars]
                if not overlap_vars:
                    continue
                overlap_categories = _count_groups(data, overlap_vars)
                if overlap_categories > max_redundant:
                    max_redundant = overlap_categories
            redundant = max_redundant
        fe_redundancies[fe_spec] = {
            "categories": n_categories,
            "redundant": redundant,
            "num_coefs": max(n_categories - redundant, 0),
        }
    return fe_redundancies


def count_nonredundant_fe(data, fixedeffects, fenames, setype, clustvars, N_FE):
    """The redundancy records and the number of fixed-effect parameters to charge.

    Without fixed effects there are no records (None) and the single constant group
    (`N_FE`) is charged.
    """
    if not fixedeffects:
        return None, N_FE
    fe_redundancies = calculate_fe_redundancies(data, fixedeffects, fenames, setype=setype, clustvars=clustvars)
    return fe_redundancies, sum(record["num_coefs"] for record in fe_redundancies.values())
