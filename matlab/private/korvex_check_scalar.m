function korvex_check_scalar(caller, name, value, kind)
%KORVEX_CHECK_SCALAR Raise an error naming NAME unless VALUE is a real scalar of KIND.
%   KIND is 'positive' (finite, > 0), 'nonnegative' (finite, >= 0), 'positiveOrInf'
%   (> 0, Inf allowed), 'count' (integer >= 1) or 'seed' (integer >= 0).

if ~(isnumeric(value) || islogical(value)) || ~isscalar(value) || ~isreal(value)
  error('korvex:badParameter', '%s: %s must be a real numeric scalar.', caller, name);
end
value = double(value);
if isnan(value)
  error('korvex:badParameter', '%s: %s is NaN.', caller, name);
end
switch kind
  case 'positive'
    ok = isfinite(value) && value > 0;
    what = 'a positive finite number';
  case 'nonnegative'
    ok = isfinite(value) && value >= 0;
    what = 'a finite number >= 0';
  case 'positiveOrInf'
    ok = value > 0;
    what = 'a positive number (Inf allowed)';
  case 'count'
    ok = isfinite(value) && value >= 1 && value == round(value);
    what = 'a whole number >= 1';
  case 'seed'
    ok = isfinite(value) && value >= 0 && value == round(value) && value < 2^32;
    what = 'a whole number in [0, 2^32)';
  otherwise
    error('korvex:internal', 'korvex_check_scalar: unknown kind ''%s''.', kind);
end
if ~ok
  error('korvex:badParameter', '%s: %s must be %s (got %g).', caller, name, what, value);
end
end
