"""The printed regression report, character for character, and its frame.

Header lines are 80 columns wide: a right-aligned part ends at column 80, a
line with only a left part is padded with blanks to 80, and a line whose
parts together exceed 80 gets no blank between them. The coefficient and
fixed-effect tables are tabulate's rendering; the expected texts below were
checked by hand against those rules (field widths 12.7f / 10.7f / 6.2f /
6.3f, 95 % bounds from Student's t).
"""

import numpy as np
import pytest
import scipy.stats

from vantrel.results.summary import stata_style_summary

RULE = "=" * 80
OBS = "HDFE Linear regression                                Number of obs   =    1,234"
R2 = "                                                        R-squared     =   0.5000"
ADJ = "                                                      Adj R-squared   =   0.4000"
WITHIN = "                                                        Within R-sq.  =   0.3000"
RMSE = "                                                          Root MSE    =   1.5000"
COEF_ROWS = [
    " educ      0.5000000    0.1000000      5.00    0.000   0.2990425   0.7009575",
    "exper     -1.2500000    0.5000000     -2.50    0.012  -2.2547876  -0.2452124",
]
ROBUST_HEAD = [
    "                                     Robust",
    "         Coefficient    Std. Err.         t    P>|z|    [95% conf. interval]",
    "-----  -------------  -----------  --------  -------  ----------------------",
]
NESTED_NOTE = "* = FE nested within cluster; treated as redundant for DoF computation"
FIT = dict(r_squared=0.5, adj_r_squared=0.4, within_r_squared=0.3, root_mse=1.5)
CONS = (1.0, 0.5, 2.0, 0.048)


def _two_coefs():
    beta = np.array([[0.5], [-1.25]])
    se = np.array([[0.1], [0.5]])
    return dict(
        result=None,
        x=["educ", "exper"],
        beta=beta,
        se=se,
        t=beta / se,
        p=np.array([[0.0001], [0.0123]]),
        df=49,
        N=1234,
        K=2,
        N_FE=40,
    )


def _printed(capsys, **kwargs):
    frame = stata_style_summary(**kwargs)
    text = capsys.readouterr().out
    assert text.endswith("\n")
    return text[:-1].split("\n"), frame


def _header(lines):
    return lines[: lines.index("")]


def test_homoskedastic_report(capsys):
    # Wald with C = [[.01, .02], [.02, .25]]: b'C^-1 b = 0.103125 / 0.0021, over K = 2.
    lines, _ = _printed(
        capsys,
        **_two_coefs(),
        **FIT,
        setype="homoskedastic",
        fixedeffects=["firm", "state#year"],
        covmat=np.array([[0.01, 0.02], [0.02, 0.25]]),
        df_resid=100,
        fe_redundancies={
            "firm": {"categories": 30, "redundant": 0, "num_coefs": 30},
            "state#year": {"categories": 10, "redundant": 1, "num_coefs": 9},
        },
        cons_stats=CONS,
    )
    assert lines == [
        RULE,
        OBS,
        "Absorbing 2 HDFE groups                               F(   2,    100) =    24.55",
        "Homoskedastic standard errors                             Prob > F    =   0.0000",
        R2,
        ADJ,
        WITHIN,
        RMSE,
        "",
        "                                     Std. Err.",
        "         Coefficient    Std. Err.            t    P>|z|    [95% conf. interval]",
        "-----  -------------  -----------  -----------  -------  ----------------------",
        " educ      0.5000000    0.1000000         5.00    0.000   0.2990425   0.7009575",
        "exper     -1.2500000    0.5000000        -2.50    0.012  -2.2547876  -0.2452124",
        "_cons      1.0000000    0.5000000         2.00    0.048  -0.0047876   2.0047876",
        "",
        "              Categories    -  Redundant    =  Num. Coefs",
        "----------  ------------  --------------  ---------------  --",
        "firm                  30               0               30",
        "state#year            10               1                9  ?",
        "? = number of redundant parameters may be higher",
        "",
    ]


def test_heteroskedastic_report_without_regressors_or_fixed_effects(capsys):
    empty = np.zeros((0, 1))
    lines, frame = _printed(
        capsys,
        result=None,
        x=[],
        beta=empty,
        se=empty,
        t=empty,
        p=empty,
        df=1230,
        N=1234,
        K=0,
        N_FE=1,
        setype="heteroskedastic",
        r_squared=0.0,
        adj_r_squared=0.0,
        within_r_squared=0,
        root_mse=2.25,
        df_resid=1233,
        cons_stats=(3.5, 0.25, 14.0, 0.0),
    )
    assert lines == [
        RULE,
        OBS,
        "Absorbing 1 HDFE group" + " " * 58,  # no F part: padded to 80
        "Robust standard errors",  # no Prob > F part: printed alone
        "                                                        R-squared     =   0.0000",
        "                                                      Adj R-squared   =   0.0000",
        "                                                        Within R-sq.  =   0.0000",
        "                                                          Root MSE    =   2.2500",
        "",
        *ROBUST_HEAD,
        "_cons      3.5000000    0.2500000     14.00    0.000   3.0095264   3.9904736",
        "",
        "",
    ]
    assert list(frame.index) == ["_cons"]


def test_cluster_report_one_variable_with_root_mse(capsys):
    lines, _ = _printed(
        capsys,
        **_two_coefs(),
        **FIT,
        setype="cluster",
        fixedeffects=["firm", "year"],
        clustvars=["firm"],
        N_cluster=[50],
        covmat=np.diag([0.01, 0.25]),
        fe_redundancies={
            "firm": {"categories": 50, "redundant": 50, "num_coefs": 0},
            "year": {"categories": 8, "redundant": 0, "num_coefs": 8},
        },
        cons_stats=CONS,
    )
    assert lines == [
        RULE,
        OBS,
        "Absorbing 2 HDFE groups                               F(   2,     49) =    15.62",
        "Statistics robust to heteroskedasticity                   Prob > F    =   0.0000",
        R2,
        "Number of clusters (    firm) =       50              Adj R-squared   =   0.4000",
        WITHIN,
        RMSE,
        "                                    (Std. err. adjusted for 50 clusters in firm)",
        "",
        *ROBUST_HEAD,
        *COEF_ROWS,
        "_cons      1.0000000    0.5000000      2.00    0.048  -0.0047876   2.0047876",
        "",
        "        Categories    -  Redundant    =  Num. Coefs",
        "----  ------------  --------------  ---------------  --",
        "firm            50              50                0  *",
        "year             8               0                8",
        NESTED_NOTE,
        "",
    ]


def test_none_report(capsys):
    lines, _ = _printed(
        capsys,
        **_two_coefs(),
        **FIT,
        setype="none",
        fixedeffects=["firm", "year", "state#year"],
        fe_counts={"firm": 30, "year": 8, "state#year": 120},
    )
    assert lines == [
        RULE,
        OBS,
        "Absorbing 3 HDFE groups" + " " * 57,
        R2,  # no standard-error line, no adjusted / within / root MSE
        "",
        "                                     Std. Err.",
        "         Coefficient    Std. Err.            t    P>|z|    [95% conf. interval]",
        "-----  -------------  -----------  -----------  -------  ----------------------",
        " educ      0.5000000    0.1000000         5.00    0.000   0.2990425   0.7009575",
        "exper     -1.2500000    0.5000000        -2.50    0.012  -2.2547876  -0.2452124",
        "",
        "              Categories    -  Redundant    =  Num. Coefs",
        "----------  ------------  --------------  ---------------  --",
        "firm                  30               0               30",
        "year                   8               0                8",
        "state#year           120               0              120",
        "",
    ]


@pytest.mark.parametrize(
    "kwargs, expected_header",
    [
        pytest.param(
            dict(
                setype="cluster",
                fixedeffects=["firm"],
                clustvars=["firm"],
                N_cluster=[50],
                r_squared=0.5,
                adj_r_squared=0.4,
                within_r_squared=0.3,
                covmat=np.diag([0.01, 0.25]),
            ),
            [
                RULE,
                OBS,
                "Absorbing 1 HDFE group                                F(   2,     49) =    15.62",
                "Statistics robust to heteroskedasticity                   Prob > F    =   0.0000",
                R2,
                "Number of clusters (    firm) =       50              Adj R-squared   =   0.4000",
                "                                    (Std. err. adjusted for 50 clusters in firm)",
            ],
            id="cluster_one_var_no_root_mse_one_line",
        ),
        pytest.param(
            dict(
                setype="cluster",
                clustvars=["firm", "year"],
                N_cluster=[80, 50, 400],
                adj_r_squared=0.4,
                within_r_squared=0.3,
                root_mse=1.5,
                covmat=np.diag([0.01, 0.25]),
            ),
            [
                RULE,
                OBS,
                "Absorbing 1 HDFE group                                F(   2,     49) =    15.62",
                "Statistics robust to heteroskedasticity                   Prob > F    =   0.0000",
                "Number of clusters (    firm) =       80              Adj R-squared   =   0.4000",
                "Number of clusters (    year) =       50                Within R-sq.  =   0.3000",
                RMSE,
                "                               (Std. err. adjusted for 50 clusters in firm year)",
            ],
            id="cluster_two_vars_smallest_count",
        ),
        pytest.param(
            dict(FIT, setype="cluster", N_cluster=[10], covmat=np.diag([0.01, 0.25])),
            [
                RULE,
                OBS,
                "Absorbing 1 HDFE group                                F(   2,      9) =    15.62",
                "Statistics robust to heteroskedasticity                   Prob > F    =   0.0012",
                R2,
            ],
            id="cluster_without_variables_prints_no_fit_lines",
        ),
        pytest.param(
            dict(
                setype="cluster",
                clustvars=["a_really_long_cluster_variable_name"],
                N_cluster=[123456],
                adj_r_squared=0.4,
                covmat=np.diag([0.01, 0.25]),
            ),
            [
                RULE,
                OBS,
                "Absorbing 1 HDFE group                                F(   2, 123455) =    15.62",
                "Statistics robust to heteroskedasticity                   Prob > F    =   0.0000",
                "Number of clusters (a_really_long_cluster_variable_name) =   123456Adj R-squared   =   0.4000",
                " (Std. err. adjusted for 123456 clusters in a_really_long_cluster_variable_name)",
            ],
            id="overlong_line_gets_no_blank",
        ),
        pytest.param(
            # pinv would give 0.07 here; a singular matrix falls back to mean(t^2).
            dict(setype="heteroskedastic", covmat=np.ones((2, 2)), df_resid=1000),
            [
                RULE,
                OBS,
                "Absorbing 1 HDFE group                                F(   2,   1000) =    15.62",
                "Robust standard errors                                    Prob > F    =   0.0000",
            ],
            id="singular_covmat_mean_squared_t",
        ),
        pytest.param(
            # Without df_resid the denominator falls back to N - K - 1.
            dict(setype="heteroskedastic", covmat=None, fixedeffects=[]),
            [
                RULE,
                OBS,
                "Absorbing 1 HDFE group                                F(   2,   1231) =    15.62",
                "Robust standard errors                                    Prob > F    =   0.0000",
            ],
            id="no_covmat_no_df_resid",
        ),
    ],
)
def test_header_edge_cases(capsys, kwargs, expected_header):
    lines, _ = _printed(capsys, **_two_coefs(), **kwargs)
    assert _header(lines) == expected_header


def test_f_test_p_value(capsys):
    """Prob > F is the upper tail of F(K, min(N_cluster) - 1) at the Wald statistic."""
    args = _two_coefs()
    args["beta"] = np.array([[0.1], [-0.2]])
    args["t"] = args["beta"] / args["se"]
    lines, _ = _printed(capsys, **args, setype="cluster", clustvars=["g"], N_cluster=[12], covmat=np.diag([0.01, 0.25]))
    f_stat = (1.0 + 0.16) / 2
    pval = scipy.stats.f.sf(f_stat, 2, 11)
    assert lines[2].endswith(f"F(   2,     11) =  {f_stat:>7.2f}")
    assert lines[3].endswith(f"Prob > F    =   {pval:.4f}")
    assert 0.05 < pval < 0.95


@pytest.mark.parametrize(
    "setype, fe_counts, fe_redundancies, expected_rows, expected_notes",
    [
        pytest.param(
            "cluster",
            {"firm#year": 40, "state": 9},
            None,
            [
                "firm#year            40              40                0  *",
                "state                 9               9                0",
            ],
            [NESTED_NOTE],
            id="cluster_counts_fallback_all_redundant",
        ),
        pytest.param(
            "heteroskedastic",
            {"firm#year": 40},
            None,
            ["firm#year            40               0               40"],
            [],
            id="counts_fallback_spec_without_counts_gets_no_row",
        ),
        pytest.param(
            "cluster",
            None,
            {
                "firm#year": {"categories": 40, "redundant": 3, "num_coefs": 37},
                "state": {"categories": 9, "redundant": 2, "num_coefs": 7},
            },
            [
                "firm#year            40               3               37  *",
                "state                 9               2                7",
            ],
            [NESTED_NOTE],
            id="cluster_never_marks_uncertain",
        ),
        pytest.param(
            "homoskedastic",
            None,
            {
                "firm#year": {"categories": 40, "redundant": 3, "num_coefs": 37},
                "state": {"categories": 9, "redundant": 0, "num_coefs": 9},
            },
            [
                "firm#year            40               3               37",
                "state                 9               0                9",
            ],
            [],
            id="only_last_effect_can_be_uncertain",
        ),
    ],
)
def test_fixed_effect_table(capsys, setype, fe_counts, fe_redundancies, expected_rows, expected_notes):
    fixedeffects = ["firm#year", "state"]
    lines, _ = _printed(
        capsys,
        **_two_coefs(),
        setype=setype,
        fixedeffects=fixedeffects,
        clustvars=["firm"],
        N_cluster=[20],
        fe_counts=fe_counts,
        fe_redundancies=fe_redundancies,
    )
    start = lines.index("") + 1
    start = lines.index("", start) + 1  # after the coefficient table
    assert lines[start:] == [
        "             Categories    -  Redundant    =  Num. Coefs",
        "---------  ------------  --------------  ---------------  --",
        *expected_rows,
        *expected_notes,
        "",
    ]


def test_every_header_line_is_80_columns(capsys):
    lines, _ = _printed(
        capsys,
        **_two_coefs(),
        setype="cluster",
        clustvars=["a", "b", "c"],
        N_cluster=[7, 8, 9, 10, 11, 12, 13],
        r_squared=0.1,
        adj_r_squared=0.2,
        within_r_squared=0.3,
        root_mse=4.0,
        covmat=np.diag([0.01, 0.25]),
        fixedeffects=["a", "b#c"],
    )
    header = _header(lines)
    assert len(header) == 9
    assert all(len(line) == 80 for line in header)


@pytest.mark.parametrize("with_cons", [pytest.param(True, id="with_cons"), pytest.param(False, id="without_cons")])
def test_returned_frame(capsys, with_cons):
    args = _two_coefs()
    cons_stats = CONS if with_cons else None
    frame = stata_style_summary(**args, setype="homoskedastic", cons_stats=cons_stats)
    capsys.readouterr()
    assert list(frame.columns) == ["coef", "std_err", "t", "P>|t|", "[0.025", "0.975]"]
    assert list(frame.index) == (["educ", "exper", "_cons"] if with_cons else ["educ", "exper"])
    np.testing.assert_array_equal(frame.loc[["educ", "exper"], "coef"], [0.5, -1.25])
    np.testing.assert_array_equal(frame.loc[["educ", "exper"], "P>|t|"], [0.0001, 0.0123])
    # The bounds sit at the 2.5 % and 97.5 % points of t(df) around the estimate.
    z_low = (frame["[0.025"] - frame["coef"]) / frame["std_err"]
    z_high = (frame["0.975]"] - frame["coef"]) / frame["std_err"]
    np.testing.assert_allclose(scipy.stats.t.cdf(z_low, 49), 0.025, rtol=1e-10)
    np.testing.assert_allclose(scipy.stats.t.cdf(z_high, 49), 0.975, rtol=1e-10)
    if with_cons:
        assert frame.loc["_cons", "t"] == 2.0 and frame.loc["_cons", "P>|t|"] == 0.048


def test_malformed_cons_stats_raises_after_header(capsys):
    with pytest.raises(ValueError):
        stata_style_summary(**_two_coefs(), setype="homoskedastic", cons_stats=(1.0, 0.5, 2.0))
    assert capsys.readouterr().out.startswith(RULE + "\n" + OBS + "\n")


@pytest.mark.parametrize("vcov", ["iid", "hetero"])
def test_feols_report_heads_its_student_t_p_values_p_t(vcov, capsys):
    # feols's p-values are Student's t (as its intervals): its report heads them "P>|t|" and
    # prints statsmodels' p-values of the dummy-variable regression; the report's own
    # default header stays "P>|z|"
    import pandas as pd
    import statsmodels.formula.api as smf

    import vantrel

    rng = np.random.default_rng(11)
    n = 60
    frame = pd.DataFrame({"x": rng.standard_normal(n), "f": rng.integers(0, 6, n)})
    frame["y"] = 0.25 * frame["x"] + rng.standard_normal(n)
    table = vantrel.feols("y ~ x | f", frame, vcov=vcov).summary()
    lines = capsys.readouterr().out.splitlines()
    head = next(line for line in lines if "Coefficient" in line)
    assert "P>|t|" in head and "P>|z|" not in head
    row = next(line for line in lines if line.split() and line.split()[0] == "x")
    assert row.split()[4] == f"{table.loc['x', 'P>|t|']:.3f}"
    if vcov == "iid":
        oracle = smf.ols("y ~ x + C(f)", frame).fit()
        np.testing.assert_allclose(table.loc["x", "P>|t|"], oracle.pvalues["x"], rtol=1e-8)
